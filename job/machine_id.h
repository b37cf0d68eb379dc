#pragma once

#include <windows.h>
#include <rpc.h>

#include <string>

#include "base/result.h"

// The source of time-based UUIDs; tests give their own.
using UuidGenerator = RPC_STATUS(RPC_ENTRY*)(UUID* uuid);

// The machine identifier sent with the instruction request: the SHA-1 of the
// node field of a sequential UUID, as 40 upper-case hexadecimal characters.
// Only the digest leaves the computer, never the adapter address itself.
// id is set only on success. A UUID that is only locally unique (status
// RPC_S_UUID_LOCAL_ONLY) has a random node and would name nothing, so it
// counts as a failure (code 99).
Result GetMachineId(std::wstring& id, UuidGenerator generator = &UuidCreateSequential);
