#include "job/installer_verification.h"

#include <softpub.h>
#include <wintrust.h>

#include <stddef.h>
#include <wchar.h>

#include "base/scoped_handle.h"

const wchar_t kExpectedSignerName[] = L"Pellorand";
const wchar_t kExpectedIssuerName[] = L"GlobalSign ObjectSign CA";

namespace {

// Both names are read into this one buffer in turn.
const DWORD kNameBufferLength = 4096;

// The structure as the oldest supported systems know it; later systems
// accept it and fill in defaults for the fields they added.
// In the 64-bit test build the same fields are larger.
const DWORD kWinTrustDataSize = offsetof(WINTRUST_DATA, dwUIContext) + sizeof(DWORD);
static_assert(sizeof(void*) != 4 || kWinTrustDataSize == 48,
              "WINTRUST_DATA up to dwUIContext must be 48 bytes");

using ScopedCertContext = ScopedHandle<PCCERT_CONTEXT, &CertFreeCertificateContext>;

}  // namespace

bool VerifyInstallerSignature(const std::wstring& path, LONG& status) {
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path.c_str();
  file.hFile = nullptr;
  file.pgKnownSubject = nullptr;

  WINTRUST_DATA data = {};
  data.cbStruct = kWinTrustDataSize;
  data.pPolicyCallbackData = nullptr;
  data.pSIPClientData = nullptr;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = 0;  // WTD_STATEACTION_IGNORE: no state to close afterwards
  data.hWVTStateData = nullptr;
  data.pwszURLReference = nullptr;
  data.dwProvFlags = WTD_SAFER_FLAG;
  data.dwUIContext = WTD_UICONTEXT_EXECUTE;

  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  status = WinVerifyTrust(nullptr, &action, &data);
  return status == 0;
}

PCCERT_CONTEXT FindSignerCertificate(const std::wstring& path) {
  // Declared in this order so that they are released in the reverse one:
  // the signer buffer, then the store, then the message.
  ScopedCryptMsg message;
  ScopedCertStore store;
  LocalMemory buffer;

  DWORD encoding = 0;
  DWORD contentType = 0;
  DWORD formatType = 0;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(),
                        CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                        0, &encoding, &contentType, &formatType, store.receive(), message.receive(),
                        nullptr)) {
    return nullptr;
  }

  DWORD size = 0;
  if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) return nullptr;
  buffer.reset(LocalAlloc(LPTR, size));
  if (!buffer) return nullptr;
  if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, buffer.get(), &size)) {
    return nullptr;
  }

  const CMSG_SIGNER_INFO* signer = static_cast<const CMSG_SIGNER_INFO*>(buffer.get());
  CERT_INFO wanted = {};
  wanted.Issuer = signer->Issuer;
  wanted.SerialNumber = signer->SerialNumber;
  // The context outlives the store: closing a store without flags leaves the
  // contexts that are still referenced alive.
  return CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                    CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
}

bool VerifyInstallerSigner(const std::wstring& path) {
  ScopedCertContext certificate(FindSignerCertificate(path));
  if (!certificate) return false;

  bool ok = true;
  wchar_t name[kNameBufferLength];
  name[0] = L'\0';
  CertGetNameStringW(certificate.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name,
                     kNameBufferLength);
  if (wcsncmp(kExpectedSignerName, name, kNameBufferLength) != 0) ok = false;

  // The issuer is compared even when the subject already failed.
  name[0] = L'\0';
  CertGetNameStringW(certificate.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG,
                     nullptr, name, kNameBufferLength);
  if (wcsncmp(kExpectedIssuerName, name, kNameBufferLength) != 0) ok = false;
  return ok;
}
