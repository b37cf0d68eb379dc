#include "job/machine_id.h"

#include <string.h>

#include "base/sha1.h"

Result GetMachineId(std::wstring& id, UuidGenerator generator) {
  UUID uuid;
  const RPC_STATUS status = generator(&uuid);
  if (status != RPC_S_OK) return Result(HResultFromError(status), std::wstring(), 99);

  // The node field is the last six bytes of the structure (Data4[2..7]).
  unsigned char node[6] = {};
  memcpy(node, &uuid.Data4[2], sizeof(node));

  SHA1 digest;
  digest.Update(node, sizeof(node));
  std::wstring text;
  Result digested = DigestHex(digest, text);
  if (digested.Failed()) return WithFallbackCode(digested, 108);
  id = text;
  return Result::Ok();
}
