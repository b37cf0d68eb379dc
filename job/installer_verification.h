#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>

// The checks made on the downloaded main installer before it runs. Both take
// the full path of the file; the signer check comes first.

// The subject and issuer that the first signer's certificate must carry.
extern const wchar_t kExpectedSignerName[];
extern const wchar_t kExpectedIssuerName[];

// True when Windows' Authenticode policy accepts the file. status receives
// WinVerifyTrust's return value (0 when accepted). Revocation is not checked.
bool VerifyInstallerSignature(const std::wstring& path, LONG& status);

// True when the first signer's certificate has exactly the expected subject
// and issuer simple names (case-sensitive, whole names).
bool VerifyInstallerSigner(const std::wstring& path);

// The certificate of the first signer of the file's embedded signature, or
// null. The caller frees a non-null context with CertFreeCertificateContext.
PCCERT_CONTEXT FindSignerCertificate(const std::wstring& path);
