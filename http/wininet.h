#pragma once

#include <windows.h>
#include <wininet.h>

#include <stdint.h>

#include <string>

#include "base/result.h"

// One URL split into the parts an exchange needs.
struct UrlParts {
  std::wstring hostName;
  std::wstring urlPath;
  std::wstring extraInfo;  // the query, beginning with "?"
  std::wstring schemeName;
  std::wstring userName;  // filled, never used: no connection carries credentials
  std::wstring password;
  int32_t scheme = -1;  // INTERNET_SCHEME
  uint16_t port = 0;    // INTERNET_PORT
};

// The record of one attempt of a download.
struct TransferInfo {
  uint32_t statusCode = 0;
  uint64_t received = 0;      // body bytes accepted by the sink in this attempt
  int64_t contentLength = 0;  // 0 when the response gives none
  uint64_t totalLength = 0;   // the resource's size; 0 while unknown
};

// The pause between attempts; tests replace it so that ten attempts need not
// take seconds.
using RetrySleep = void (*)(DWORD milliseconds);
void RealRetrySleep(DWORD milliseconds);

// A download: the WinInet exchange and the resumable transfer, with the two
// operations through which a derived sink receives progress and data.
class CWinInet {
 public:
  // Progress of the current attempt: body bytes received in it, the absolute
  // position in the resource, the response's Content-Length (0 if none) and
  // the resource's total length (0 while unknown).
  virtual Result OnProgress(uint64_t received, uint64_t position, uint64_t contentLength,
                            uint64_t totalLength) = 0;
  // The next chunk of the body, 1 to 4096 bytes, in order.
  virtual Result OnData(const BYTE* bytes, uint32_t size) = 0;

  // Fetches the resource at url into this sink, resuming after interruptions
  // with Range requests; up to 10 attempts, retryDelayMs apart. end -1 means
  // to the end of the resource.
  Result Download(const std::wstring& url, int64_t start, int64_t end, uint32_t retryDelayMs,
                  RetrySleep sleep = &RealRetrySleep);
  Result DownloadAttempt(const std::wstring& url, int64_t start, int64_t end, TransferInfo& info,
                         const std::wstring& userAgent);
  Result HttpGet(const std::wstring& hostName, const std::wstring& urlPath, std::string query,
                 bool secure, uint16_t port, int64_t start, int64_t end, TransferInfo& info,
                 const std::wstring& userAgent);

  // The browser's user agent string; throws CException (code 61) when the
  // system cannot give it.
  static std::wstring GetUserAgent();
  static Result CrackUrl(const std::wstring& url, UrlParts& parts);

 protected:
  // Sinks are destroyed through their own class.
  ~CWinInet() = default;
};
