#include "http/downloader.h"

#include <commctrl.h>

#include "launcher/globals.h"
#include "resources/resource.h"
#include "http/file_sink.h"

namespace {

const int kBarRange = 1000;

// Sets or clears one style bit, writing the style only when it changes.
void ChangeStyle(HWND window, LONG bit, bool on) {
  const LONG style = GetWindowLongW(window, GWL_STYLE);
  const LONG wanted = on ? (style | bit) : (style & ~bit);
  if (wanted != style) SetWindowLongW(window, GWL_STYLE, wanted);
}

// Moves the file position back to accepted and cuts the file there. If the
// system refuses, nothing better can be done: the failure is reported anyway.
void CutBack(HANDLE file, LARGE_INTEGER accepted) {
  if (SetFilePointerEx(file, accepted, nullptr, FILE_BEGIN)) SetEndOfFile(file);
}

}  // namespace

Result AppendChunk(HANDLE file, const BYTE* bytes, uint32_t size, FileWriter write) {
  // The download counts a chunk as received only when this returns success,
  // and the next attempt appends at the file position. A failed or short write
  // may still have put part of the chunk into the file and moved the
  // position; left so, the resumed bytes would land after that fragment and
  // the file would be corrupt. So remember where the chunk begins, and return
  // there on failure. A handle that cannot tell its position is written all
  // the same, only without that repair.
  LARGE_INTEGER zero = {};
  LARGE_INTEGER accepted = {};
  const bool positionKnown = SetFilePointerEx(file, zero, &accepted, FILE_CURRENT) != FALSE;

  DWORD written = 0;
  // Cleared, so that a short write that sets no error of its own is reported
  // as E_FAIL rather than with some earlier call's error.
  SetLastError(ERROR_SUCCESS);
  const BOOL ok = write(file, bytes, size, &written, nullptr);
  if (ok && written == size) return Result::Ok();

  const HRESULT hr = HResultFromLastError();
  if (positionKnown) CutBack(file, accepted);
  return Result(hr, std::wstring(), ok ? 73 : 72);
}

CDownloader::~CDownloader() {
  std::string().swap(m_stream);
  if (m_hFile != INVALID_HANDLE_VALUE && m_hFile != nullptr) CloseHandle(m_hFile);
  m_hFile = INVALID_HANDLE_VALUE;
}

Result CDownloader::OnProgress(uint64_t /*received*/, uint64_t position, uint64_t /*contentLength*/,
                               uint64_t totalLength) {
  // Silent runs have no dialog.
  if (g_silent) return Result::Ok();

  const HWND bar = GetDlgItem(m_hWnd, IDC_PROGRESS);
  const LONG style = GetWindowLongW(bar, GWL_STYLE);
  if (totalLength == 0 || position == 0) {
    // Nothing to show a share of yet: keep the bar moving.
    if ((style & PBS_MARQUEE) == 0) {
      ChangeStyle(bar, PBS_MARQUEE, true);
      SendMessageW(bar, PBM_SETMARQUEE, TRUE, 0);
    }
    return Result::Ok();
  }

  if ((style & PBS_MARQUEE) != 0) {
    ChangeStyle(bar, PBS_MARQUEE, false);
    SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
  }
  SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, kBarRange));
  // In double, so that position * 1000 cannot overflow. A position beyond the
  // total (a server that sends more than it announced) is kept within what a
  // WPARAM holds; the bar itself stops at its maximum.
  const double share = static_cast<double>(position) * kBarRange / static_cast<double>(totalLength);
  const WPARAM value = share < 4294967295.0 ? static_cast<WPARAM>(share) : 0xFFFFFFFFu;
  SendMessageW(bar, PBM_SETPOS, value, 0);
  return Result::Ok();
}

Result CDownloader::OnData(const BYTE* bytes, uint32_t size) {
  if (m_hFile != INVALID_HANDLE_VALUE && m_hFile != nullptr) {
    return AppendChunk(m_hFile, bytes, size);
  }
  m_stream.append(reinterpret_cast<const char*>(bytes), size);
  return Result::Ok();
}
