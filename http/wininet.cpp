#include "http/wininet.h"

#include <urlmon.h>

#include <memory>
#include <new>

#include "base/scoped_handle.h"
#include "base/text.h"
#include "http/content_range.h"

namespace {

// Every exchange goes to the server (no cache read or write), keeps no
// cookies and never lets WinInet show a dialog of its own.
const DWORD kPlainFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                          INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI;
const DWORD kSecureFlags = kPlainFlags | INTERNET_FLAG_SECURE;
static_assert(kPlainFlags == 0x84080200 && kSecureFlags == 0x84880200, "request flags");

const DWORD kUserAgentBytes = 1040;
const DWORD kHeaderChars = 260;  // 520 bytes
const DWORD kBodyChunk = 4096;

const int kAttempts = 10;
// A failed attempt that brought more than this was making progress, so the
// download earns a fresh set of attempts.
const uint64_t kProgressWorthRetrying = 0x40000;

Result Failure(int code) { return Result(E_FAIL, std::wstring(), code); }
Result LastErrorFailure(int code) { return Result(HResultFromLastError(), std::wstring(), code); }

// The handles of one exchange. Members are destroyed in reverse order, so the
// request closes before the connection and the connection before the root,
// on every way out.
struct Exchange {
  ScopedInternet root;
  ScopedInternet connection;
  ScopedInternet request;
};

Result Open(Exchange& exchange, const std::wstring& userAgent, const std::wstring& hostName,
            const std::wstring& urlPath, const std::string& query, bool secure, uint16_t port) {
  exchange.root.reset(
      InternetOpenW(userAgent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!exchange.root) return LastErrorFailure(143);

  if (port == 0) port = secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
  const DWORD flags = secure ? kSecureFlags : kPlainFlags;
  // Credentials written into the URL are deliberately not passed on. A failed
  // connection is not checked here: the request on a null connection fails
  // and reports it.
  exchange.connection.reset(InternetConnectW(exchange.root.get(), hostName.c_str(), port, nullptr,
                                             nullptr, INTERNET_SERVICE_HTTP, flags, 0));

  std::wstring objectName = urlPath;
  if (!query.empty()) objectName += L"?" + AnsiToWide(query);
  LPCWSTR acceptTypes[] = {L"*/*", nullptr};
  exchange.request.reset(HttpOpenRequestW(exchange.connection.get(), L"GET", objectName.c_str(),
                                          nullptr, L"", acceptTypes, flags, 0));
  if (!exchange.request) return LastErrorFailure(190);
  return Result::Ok();
}

Result Send(HINTERNET request, const std::wstring& headers) {
  const BOOL sent = HttpSendRequestW(request, headers.empty() ? nullptr : headers.c_str(),
                                     static_cast<DWORD>(headers.size()), nullptr, 0);
  return sent ? Result::Ok() : LastErrorFailure(215);
}

// Reads a header's text into a zero-filled buffer; a text that does not fit
// counts as a failed query.
bool QueryHeader(HINTERNET request, DWORD query, wchar_t (&text)[kHeaderChars]) {
  ZeroMemory(text, sizeof(text));
  DWORD length = sizeof(text);
  return HttpQueryInfoW(request, query, text, &length, nullptr) != FALSE;
}

// An absent Content-Length, or one that cannot be queried, is 0: the body then
// ends when the server says so.
Result QueryContentLength(HINTERNET request, int64_t& contentLength) {
  contentLength = 0;
  wchar_t text[kHeaderChars];
  if (!QueryHeader(request, HTTP_QUERY_CONTENT_LENGTH, text)) return Result::Ok();
  int64_t value = 0;
  if (ScanInt64(text, kHeaderChars, value) != 1) return Failure(227);
  contentLength = value;
  return Result::Ok();
}

Result QueryStatusCode(HINTERNET request, uint32_t& statusCode) {
  DWORD value = 0;
  DWORD length = sizeof(value);
  if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &value, &length,
                      nullptr)) {
    return Failure(249);
  }
  statusCode = value;
  return Result::Ok();
}

Result Read(HINTERNET request, BYTE* buffer, DWORD& bytesRead) {
  bytesRead = 0;
  if (!InternetReadFile(request, buffer, kBodyChunk, &bytesRead)) return LastErrorFailure(311);
  return Result::Ok();
}

}  // namespace

void RealRetrySleep(DWORD milliseconds) { Sleep(milliseconds); }

std::wstring CWinInet::GetUserAgent() {
  // One byte more than the system is told of, so that the text ends in a zero
  // even if the system fills the whole buffer.
  char buffer[kUserAgentBytes + 1] = {};
  DWORD size = kUserAgentBytes;
  const HRESULT hr = ObtainUserAgentString(0, buffer, &size);
  if (FAILED(hr)) throw CException(Result(hr, L"Could not obtain user agent string", 61));
  return AnsiToWide(buffer);
}

Result CWinInet::CrackUrl(const std::wstring& url, UrlParts& parts) {
  parts = UrlParts();
  URL_COMPONENTSW components;
  ZeroMemory(&components, sizeof(components));
  static_assert(sizeof(void*) != 4 || sizeof(components) == 60,
                "URL_COMPONENTSW of a 32-bit program");
  components.dwStructSize = sizeof(components);
  // Lengths without buffers: WinInet answers with pointers into url.
  components.dwSchemeLength = components.dwHostNameLength = components.dwUserNameLength =
      components.dwPasswordLength = components.dwUrlPathLength = components.dwExtraInfoLength =
          0xFFFFFFFF;
  if (!InternetCrackUrlW(url.c_str(), 0, 0, &components)) return LastErrorFailure(439);

  auto part = [](const wchar_t* text, DWORD length) {
    return text != nullptr && length != 0 && length != 0xFFFFFFFF ? std::wstring(text, length)
                                                                  : std::wstring();
  };
  parts.hostName = part(components.lpszHostName, components.dwHostNameLength);
  parts.urlPath = part(components.lpszUrlPath, components.dwUrlPathLength);
  parts.extraInfo = part(components.lpszExtraInfo, components.dwExtraInfoLength);
  parts.schemeName = part(components.lpszScheme, components.dwSchemeLength);
  parts.userName = part(components.lpszUserName, components.dwUserNameLength);
  parts.password = part(components.lpszPassword, components.dwPasswordLength);
  parts.port = components.nPort;
  parts.scheme = components.nScheme;
  return Result::Ok();
}

Result CWinInet::Download(const std::wstring& url, int64_t start, int64_t end,
                          uint32_t retryDelayMs, RetrySleep sleep) {
  TransferInfo info;
  int attemptsLeft = kAttempts;
  for (;;) {
    info = TransferInfo();
    --attemptsLeft;
    // A missing user agent is not worth retrying; its exception leaves at once.
    const std::wstring userAgent = GetUserAgent();
    Result result = DownloadAttempt(url, start, end, info, userAgent);
    // E_ABORT is how a sink stops the download for good.
    if (result.Succeeded() || attemptsLeft == 0 || result.hr == E_ABORT) return result;
    // The sink holds bytes, but without the resource's size the rest cannot
    // be asked for as a range.
    if (info.received != 0 && info.totalLength == 0) return Failure(382);
    if (info.received > kProgressWorthRetrying) attemptsLeft = kAttempts;
    start += static_cast<int64_t>(info.received);
    if (end == -1 && info.totalLength != 0) end = static_cast<int64_t>(info.totalLength) - 1;
    sleep(retryDelayMs);
  }
}

Result CWinInet::DownloadAttempt(const std::wstring& url, int64_t start, int64_t end,
                                 TransferInfo& info, const std::wstring& userAgent) {
  UrlParts parts;
  Result result = CrackUrl(url, parts);
  if (result.Failed()) return result;
  const bool secure = parts.scheme == INTERNET_SCHEME_HTTPS;
  return HttpGet(parts.hostName, parts.urlPath, WideToAnsi(parts.extraInfo), secure, parts.port,
                 start, end, info, userAgent);
}

Result CWinInet::HttpGet(const std::wstring& hostName, const std::wstring& urlPath,
                         std::string query, bool secure, uint16_t port, int64_t start, int64_t end,
                         TransferInfo& info, const std::wstring& userAgent) {
  info = TransferInfo();
  const bool ranged = end != -1;
  if (!ranged && start != 0) return Failure(125);
  if (ranged && start > end) return Failure(123);
  if (!query.empty() && query[0] == '?') query.erase(0, 1);

  const uint64_t position = static_cast<uint64_t>(start);
  Result result = OnProgress(0, position, 0, 0);
  if (result.Failed()) return WithFallbackCode(result, 133);

  Exchange exchange;
  result = Open(exchange, userAgent, hostName, urlPath, query, secure, port);
  if (result.Failed()) return result;
  const HINTERNET request = exchange.request.get();

  const std::wstring headers =
      ranged ? FormatText(L"Range: bytes=%I64d-%I64d\r\n", start, end) : std::wstring();
  result = Send(request, headers);
  if (result.Failed()) return result;
  result = QueryContentLength(request, info.contentLength);
  if (result.Failed()) return result;
  result = QueryStatusCode(request, info.statusCode);
  if (result.Failed()) return result;
  const uint64_t contentLength = static_cast<uint64_t>(info.contentLength);

  if (!ranged) {
    // Whatever the status, the body goes to the sink; judging it is the
    // caller's business.
    info.totalLength = contentLength;
  } else {
    if (info.statusCode != HTTP_STATUS_PARTIAL_CONTENT) {
      return Result(E_FAIL, FormatText(L"%d", static_cast<int>(info.statusCode)), 262);
    }
    // In unsigned arithmetic, so that no range can overflow the length.
    const uint64_t rangeLength = static_cast<uint64_t>(end) - position + 1;
    if (contentLength != 0 && contentLength != rangeLength) return Failure(266);
    wchar_t text[kHeaderChars];
    if (!QueryHeader(request, HTTP_QUERY_CONTENT_RANGE, text)) return LastErrorFailure(274);
    int64_t first = 0;
    int64_t last = 0;
    int64_t total = 0;
    if (ScanContentRange(text, kHeaderChars, first, last, total) < 3) return Failure(278);
    info.totalLength = static_cast<uint64_t>(total);
    if (static_cast<uint64_t>(first) > static_cast<uint64_t>(last)) return Failure(280);
    if (static_cast<uint64_t>(last) >= info.totalLength) return Failure(281);
    if (first != start) return Failure(282);
    if (last != end) return Failure(283);
  }

  result = OnProgress(0, position, contentLength, info.totalLength);
  if (result.Failed()) return result;

  // Declared after the exchange, so it is released before the handles close.
  std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[kBodyChunk]);
  if (!buffer) return Failure(303);

  for (;;) {
    DWORD bytesRead = 0;
    result = Read(request, buffer.get(), bytesRead);
    if (result.Failed()) return result;
    if (bytesRead == 0) {
      if (contentLength != 0 && info.received != contentLength) return Failure(334);
      return Result::Ok();
    }
    result = OnData(buffer.get(), bytesRead);
    if (result.Failed()) return result;
    // Counted only once the sink holds the chunk: the next attempt resumes
    // from received, and a chunk the sink refused must be asked for again.
    info.received += bytesRead;
    result = OnProgress(info.received, position + info.received, contentLength, info.totalLength);
    if (result.Failed()) return result;
  }
}
