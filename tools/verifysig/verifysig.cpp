// verifysig FILE...
// For each file, prints one JSON object on a line of its own:
//   {"file": ..., "signer_ok": bool, "subject": ..., "issuer": ...,
//    "expected_subject": ..., "expected_issuer": ...,
//    "signature_ok": bool, "status": "0x%08lx",
//    "key_code": int, "key_error": ..., "key": ...}
// signer_ok and signature_ok come from the very checks the launcher makes on
// the main installer before it runs it; the key is searched in the file's
// certificate table with the launcher's own key search (key_code 0 when found,
// otherwise the launcher's failure code). Exit code 0 when every file passed
// all three, 1 otherwise, 2 for a usage error.
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/file_io.h"
#include "base/scoped_handle.h"
#include "job/installer_verification.h"
#include "launcher/key_search.h"
#include "tests/tools/json_quote.h"

namespace {

const uint32_t kMaxFileSize = 0x10000000;

using ScopedCertContext = ScopedHandle<PCCERT_CONTEXT, &CertFreeCertificateContext>;

std::wstring CertName(PCCERT_CONTEXT certificate, DWORD flags) {
  wchar_t name[4096] = {};
  CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, name, 4096);
  return name;
}

// The key as the launcher finds it in its own file, with the same checks on
// the certificate table's place and size, read here from the file's headers
// rather than from a loaded image.
KeySearchResult FindKeyInFile(const std::wstring& path) {
  std::vector<unsigned char> file;
  if (ReadWholeFile(path, file, kMaxFileSize).hr < 0) return {387, std::string()};
  const CertificateTablePlace place = LocateCertificateTable(file.data(), file.size());
  if (place.code != kKeyFound) return {place.code, std::string()};
  if (place.offset > file.size() || file.size() - place.offset < place.size) {
    return {398, std::string()};
  }
  return FindKeyInTable(file.data() + place.offset, place.size);
}

// Key texts and found keys are plain ASCII.
std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

const char* KeyText(int code) {
  switch (code) {
    case 387:
      return "file cannot be read";
    case 398:
      return "certificate table runs past the end of the file";
    default:
      return KeyError(code);
  }
}

bool Check(const std::wstring& path) {
  std::wstring subject, issuer;
  ScopedCertContext certificate(FindSignerCertificate(path));
  if (certificate) {
    subject = CertName(certificate.get(), 0);
    issuer = CertName(certificate.get(), CERT_NAME_ISSUER_FLAG);
  }
  const bool signerOk = VerifyInstallerSigner(path);
  LONG status = 0;
  const bool signatureOk = VerifyInstallerSignature(path, status);
  const KeySearchResult key = FindKeyInFile(path);

  printf("{\"file\": %s, \"signer_ok\": %s, \"subject\": %s, \"issuer\": %s, ",
         JsonQuote(path).c_str(), signerOk ? "true" : "false", JsonQuote(subject).c_str(),
         JsonQuote(issuer).c_str());
  printf("\"expected_subject\": %s, \"expected_issuer\": %s, ",
         JsonQuote(kExpectedSignerName).c_str(), JsonQuote(kExpectedIssuerName).c_str());
  printf("\"signature_ok\": %s, \"status\": \"0x%08lx\", ", signatureOk ? "true" : "false",
         static_cast<unsigned long>(status));
  printf("\"key_code\": %d, \"key_error\": %s, \"key\": %s}\n", key.code,
         JsonQuote(key.code == kKeyFound ? std::wstring() : Widen(KeyText(key.code))).c_str(),
         JsonQuote(Widen(key.key)).c_str());
  fflush(stdout);
  return signerOk && signatureOk && key.code == kKeyFound;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: verifysig FILE...\n");
    return 2;
  }
  bool all = true;
  for (int i = 1; i < argc; ++i) {
    if (!Check(argv[i])) all = false;
  }
  return all ? 0 : 1;
}
