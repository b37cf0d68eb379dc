#include <doctest/doctest.h>

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "http/downloader.h"
#include "http/file_sink.h"
#include "launcher/globals.h"
#include "resources/resource.h"

namespace {

// A top-level window holding a real progress bar with the dialog's id.
class BarWindow {
 public:
  BarWindow() {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    parent_ = CreateWindowExW(0, L"STATIC", L"bar test", WS_POPUP, 0, 0, 300, 50, nullptr, nullptr,
                              nullptr, nullptr);
    bar_ = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE, 0, 0, 280, 20, parent_,
                           reinterpret_cast<HMENU>(IDC_PROGRESS), nullptr, nullptr);
  }
  ~BarWindow() { DestroyWindow(parent_); }
  HWND parent() const { return parent_; }
  HWND bar() const { return bar_; }
  bool marquee() const { return (GetWindowLongW(bar_, GWL_STYLE) & PBS_MARQUEE) != 0; }
  LRESULT pos() const { return SendMessageW(bar_, PBM_GETPOS, 0, 0); }

 private:
  HWND parent_;
  HWND bar_;
};

int g_barMessages = 0;
WNDPROC g_barProc = nullptr;
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  ++g_barMessages;
  return CallWindowProcW(g_barProc, window, message, wParam, lParam);
}

std::wstring TempFile() {
  wchar_t folder[MAX_PATH], path[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  GetTempFileNameW(folder, L"dl", 0, path);
  return path;
}

std::string FileText(const std::wstring& path) {
  std::string text;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  char buffer[256];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read != 0)
    text.append(buffer, read);
  CloseHandle(file);
  return text;
}

BOOL WINAPI HalfThenDiskFull(HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written,
                             LPOVERLAPPED overlapped) {
  WriteFile(file, bytes, size / 2, written, overlapped);
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}

BOOL WINAPI HalfQuietly(HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written,
                        LPOVERLAPPED overlapped) {
  return WriteFile(file, bytes, size / 2, written, overlapped);
}

const BYTE* Bytes(const char* text) { return reinterpret_cast<const BYTE*>(text); }

// Fails its first progress report with the given Result and counts attempts.
class FailingProgress : public CWinInet {
 public:
  explicit FailingProgress(Result r) : result_(r) {}
  Result OnProgress(uint64_t, uint64_t, uint64_t, uint64_t) override {
    ++attempts;
    return result_;
  }
  Result OnData(const BYTE*, uint32_t) override { return Result::Ok(); }
  int attempts = 0;

 private:
  Result result_;
};

int g_sleeps = 0;
void CountSleep(DWORD) { ++g_sleeps; }

}  // namespace

TEST_CASE("the progress bar shows thousandths of a known total, else a marquee") {
  BarWindow window;
  REQUIRE(window.bar() != nullptr);
  CDownloader sink;
  sink.m_hWnd = window.parent();
  g_silent = false;

  sink.OnProgress(0, 0, 0, 0);  // before the connection
  CHECK(window.marquee());
  sink.OnProgress(0, 0, 3, 3);  // position 0 keeps the marquee
  CHECK(window.marquee());
  sink.OnProgress(1, 1, 3, 3);
  CHECK_FALSE(window.marquee());
  CHECK(SendMessageW(window.bar(), PBM_GETRANGE, FALSE, 0) == 1000);
  CHECK(window.pos() == 333);
  sink.OnProgress(3, 3, 3, 3);
  CHECK(window.pos() == 1000);
  sink.OnProgress(0, 3, 0, 0);  // a retried attempt starts without a total
  CHECK(window.marquee());
}

TEST_CASE("a silent run never touches the window") {
  BarWindow window;
  g_barProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(window.bar(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CountingProc)));
  const LONG style = GetWindowLongW(window.bar(), GWL_STYLE);
  CDownloader sink;
  sink.m_hWnd = window.parent();
  g_barMessages = 0;
  g_silent = true;
  CHECK(sink.OnProgress(0, 0, 0, 0).hr == S_OK);
  CHECK(sink.OnProgress(1, 1, 3, 3).hr == S_OK);
  g_silent = false;
  CHECK(g_barMessages == 0);
  CHECK(GetWindowLongW(window.bar(), GWL_STYLE) == style);
}

TEST_CASE("without a file the body collects in memory") {
  for (HANDLE none : {INVALID_HANDLE_VALUE, HANDLE(nullptr)}) {
    CDownloader sink;
    sink.m_hFile = none;
    CHECK(sink.OnData(Bytes("abc"), 3).hr == S_OK);
    CHECK(sink.OnData(Bytes("de"), 2).hr == S_OK);
    CHECK(sink.m_stream == "abcde");
  }
}

TEST_CASE("a failed write leaves the file as it was before the chunk") {
  const std::wstring path = TempFile();
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            0, nullptr);
  REQUIRE(file != INVALID_HANDLE_VALUE);
  {
    CDownloader sink;
    sink.m_hFile = file;
    CHECK(sink.OnData(Bytes("0123"), 4).hr == S_OK);

    Result r = AppendChunk(file, Bytes("abcdefgh"), 8, &HalfThenDiskFull);
    CHECK(r.hr == HRESULT_FROM_WIN32(ERROR_DISK_FULL));
    CHECK(r.code == 72);
    r = AppendChunk(file, Bytes("abcdefgh"), 8, &HalfQuietly);
    CHECK(r.hr == E_FAIL);  // a short write that sets no error of its own
    CHECK(r.code == 73);

    CHECK(sink.OnData(Bytes("4567"), 4).hr == S_OK);
  }
  // The CDownloader has closed the file: an exclusive open succeeds again.
  HANDLE again = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  CHECK(again != INVALID_HANDLE_VALUE);
  CloseHandle(again);
  CHECK(FileText(path) == "01234567");
  DeleteFileW(path.c_str());
}

TEST_CASE("a file the system refuses to write fails with code 72 and the system's error") {
  const std::wstring path = TempFile();
  CDownloader sink;
  sink.m_hFile = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  const Result r = sink.OnData(Bytes("x"), 1);
  CHECK(r.hr == E_ACCESSDENIED);
  CHECK(r.code == 72);
  CHECK(sink.m_stream.empty());
  CloseHandle(sink.m_hFile);
  sink.m_hFile = INVALID_HANDLE_VALUE;
  DeleteFileW(path.c_str());
}

TEST_CASE("a first progress report that fails ends the attempt before any connection") {
  const std::wstring url = L"http://127.0.0.1:1/never";
  g_sleeps = 0;
  FailingProgress plain(Result(E_FAIL, L"", 0));
  Result r = plain.Download(url, 0, -1, 500, &CountSleep);
  CHECK(r.code == 133);
  CHECK(plain.attempts == 10);
  CHECK(g_sleeps == 9);

  g_sleeps = 0;
  FailingProgress abort(Result(E_ABORT, L"", 0));
  r = abort.Download(url, 0, -1, 500, &CountSleep);
  CHECK(r.hr == E_ABORT);
  CHECK(r.code == 133);
  CHECK(abort.attempts == 1);
  CHECK(g_sleeps == 0);
}

TEST_CASE("URLs are split with WinInet's parts") {
  UrlParts parts;
  REQUIRE(CWinInet::CrackUrl(L"https://user:pw@example.com/a/b?x=1&y=2", parts).hr == S_OK);
  CHECK(parts.scheme == INTERNET_SCHEME_HTTPS);
  CHECK(parts.port == 443);
  CHECK(parts.hostName + L"|" + parts.urlPath + L"|" + parts.extraInfo ==
        L"example.com|/a/b|?x=1&y=2");
  CHECK(parts.userName + L"|" + parts.password == L"user|pw");

  const Result r = CWinInet::CrackUrl(L"no scheme here", parts);
  CHECK(r.code == 439);
  CHECK(r.hr == HRESULT_FROM_WIN32(ERROR_INTERNET_UNRECOGNIZED_SCHEME));
  CHECK(parts.scheme == -1);
}
