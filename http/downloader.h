#pragma once

#include <windows.h>

#include <string>

#include "http/wininet.h"

// The launcher's sink: writes the body into m_hFile when one is set, else
// collects it in m_stream, and drives the progress dialog's bar.
class CDownloader : public CWinInet {
 public:
  CDownloader() = default;
  ~CDownloader();
  CDownloader(const CDownloader&) = delete;
  CDownloader& operator=(const CDownloader&) = delete;

  Result OnProgress(uint64_t received, uint64_t position, uint64_t contentLength,
                    uint64_t totalLength) override;
  Result OnData(const BYTE* bytes, uint32_t size) override;

  HWND m_hWnd = nullptr;                  // the progress dialog; null in silent runs
  HANDLE m_hFile = INVALID_HANDLE_VALUE;  // owned once set
  std::string m_stream;                   // the body, when there is no file
};
