// download_probe URL [options]
// Runs one Download of URL through a CDownloader and prints one JSON object:
//   {"hr": unsigned HRESULT, "code": n, "message": "...", "bytes": n, "data_calls": n,
//    "elapsed_ms": n, "sleeps": [ms, ...], "progress": [[received, position, length, total], ...]}
// Options:
//   --out FILE             write into FILE (created anew) instead of memory
//   --dump FILE            after a download into memory, write what it holds to FILE
//   --start N / --end N    the range to ask for (default 0 and -1)
//   --delay MS             pause between attempts (default 500)
//   --fake-sleep           record the pauses instead of sleeping
//   --progress             record every progress report
//   --fail-write-once-at N the chunk holding byte N fails once: half of it reaches the file,
//                          then the write reports a full disk (in memory: nothing is kept)
//   --abort-at N           the chunk holding byte N is refused with E_ABORT
//   --raw                  instead of Download, read URL in a plain loop of 4096-byte
//                          InternetReadFile calls (a baseline for throughput)
// Exit code 0 when the probe ran (whatever the download's outcome), 2 on bad usage.
#include <windows.h>
#include <wininet.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "base/guarded.h"
#include "http/downloader.h"
#include "http/file_sink.h"
#include "launcher/globals.h"

#include "tests/tools/json_quote.h"

namespace {

const uint64_t kNever = ~0ull;
std::vector<DWORD> g_sleeps;

void RecordSleep(DWORD milliseconds) { g_sleeps.push_back(milliseconds); }

BOOL WINAPI HalfThenDiskFull(HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written,
                             LPOVERLAPPED overlapped) {
  WriteFile(file, bytes, size / 2, written, overlapped);
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}

class ProbeSink : public CDownloader {
 public:
  unsigned long long accepted = 0;  // absolute offset of the next byte
  uint64_t failWriteAt = kNever;
  uint64_t abortAt = kNever;
  bool recordProgress = false;
  unsigned long long dataCalls = 0;
  std::vector<unsigned long long> progress;

  Result OnProgress(uint64_t received, uint64_t position, uint64_t contentLength,
                    uint64_t totalLength) override {
    if (recordProgress)
      progress.insert(progress.end(), {received, position, contentLength, totalLength});
    return CDownloader::OnProgress(received, position, contentLength, totalLength);
  }

  Result OnData(const BYTE* bytes, uint32_t size) override {
    ++dataCalls;
    const auto holds = [&](uint64_t at) { return at >= accepted && at < accepted + size; };
    if (holds(abortAt)) return Result(E_ABORT, L"aborted by the sink", 1);
    Result result;
    if (holds(failWriteAt)) {
      failWriteAt = kNever;
      result = m_hFile != INVALID_HANDLE_VALUE
                   ? AppendChunk(m_hFile, bytes, size, &HalfThenDiskFull)
                   : Result(E_FAIL, L"refused once", 1);
    } else {
      result = CDownloader::OnData(bytes, size);
    }
    if (result.Succeeded()) accepted += size;
    return result;
  }
};

double Milliseconds(LARGE_INTEGER from) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return (now.QuadPart - from.QuadPart) * 1000.0 / frequency.QuadPart;
}

// The baseline: one request, then 4096-byte reads until the end, nothing else.
Result RawRead(const std::wstring& url, unsigned long long& bytes) {
  HINTERNET root =
      InternetOpenW(L"download_probe", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET request = root
                          ? InternetOpenUrlW(root, url.c_str(), nullptr, 0,
                                             INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0)
                          : nullptr;
  Result result;
  if (!request) result = Result(HResultFromLastError(), L"open", 1);
  BYTE buffer[4096];
  DWORD read = 0;
  while (request && InternetReadFile(request, buffer, sizeof(buffer), &read) && read != 0)
    bytes += read;
  if (request) InternetCloseHandle(request);
  if (root) InternetCloseHandle(root);
  return result;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: download_probe URL [options]\n");
    return 2;
  }
  g_silent = true;  // no dialog here
  const std::wstring url = argv[1];
  std::wstring out, dump;
  int64_t start = 0, end = -1;
  DWORD delay = 500;
  bool raw = false;
  RetrySleep sleep = &RealRetrySleep;
  ProbeSink sink;
  for (int i = 2; i < argc; ++i) {
    const std::wstring option = argv[i];
    const bool hasValue = i + 1 < argc;
    auto number = [&] { return _wcstoi64(argv[++i], nullptr, 10); };
    if (option == L"--out" && hasValue)
      out = argv[++i];
    else if (option == L"--dump" && hasValue)
      dump = argv[++i];
    else if (option == L"--start" && hasValue)
      start = number();
    else if (option == L"--end" && hasValue)
      end = number();
    else if (option == L"--delay" && hasValue)
      delay = static_cast<DWORD>(number());
    else if (option == L"--fail-write-once-at" && hasValue)
      sink.failWriteAt = number();
    else if (option == L"--abort-at" && hasValue)
      sink.abortAt = number();
    else if (option == L"--fake-sleep")
      sleep = &RecordSleep;
    else if (option == L"--progress")
      sink.recordProgress = true;
    else if (option == L"--raw")
      raw = true;
    else {
      fprintf(stderr, "unknown option %ls\n", option.c_str());
      return 2;
    }
  }
  sink.accepted = static_cast<uint64_t>(start);
  if (!out.empty()) {
    sink.m_hFile = CreateFileW(out.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (sink.m_hFile == INVALID_HANDLE_VALUE) {
      fprintf(stderr, "cannot create %ls\n", out.c_str());
      return 2;
    }
  }

  LARGE_INTEGER began;
  QueryPerformanceCounter(&began);
  unsigned long long bytes = 0;
  Result result;
  if (raw) {
    result = RawRead(url, bytes);
  } else {
    result = RunGuarded([&] { return sink.Download(url, start, end, delay, sleep); }, 598, 601);
    bytes = sink.m_hFile != INVALID_HANDLE_VALUE ? sink.accepted - static_cast<uint64_t>(start)
                                                 : sink.m_stream.size();
  }
  const double elapsed = Milliseconds(began);
  if (!dump.empty()) {
    FILE* file = _wfopen(dump.c_str(), L"wb");
    if (file) {
      fwrite(sink.m_stream.data(), 1, sink.m_stream.size(), file);
      fclose(file);
    }
  }

  printf(
      "{\"hr\": %lu, \"code\": %d, \"message\": %s, \"bytes\": %llu, \"data_calls\": %llu, "
      "\"elapsed_ms\": %.1f, \"sleeps\": [",
      static_cast<unsigned long>(result.hr), result.code, JsonQuote(result.message).c_str(), bytes,
      sink.dataCalls, elapsed);
  for (size_t i = 0; i < g_sleeps.size(); ++i) printf("%s%lu", i ? ", " : "", g_sleeps[i]);
  printf("], \"progress\": [");
  for (size_t i = 0; i < sink.progress.size(); i += 4) {
    printf("%s[%llu, %llu, %llu, %llu]", i ? ", " : "", sink.progress[i], sink.progress[i + 1],
           sink.progress[i + 2], sink.progress[i + 3]);
  }
  printf("]}\n");
  return 0;
}
