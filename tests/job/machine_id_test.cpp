#include <doctest/doctest.h>

#include <string.h>

#include <string>

#include "job/machine_id.h"

namespace {

unsigned char g_fakeNode[6];
int g_fakeCalls = 0;

// A sequential UUID whose time part changes from call to call while its node
// stays put, as the system's does.
RPC_STATUS RPC_ENTRY FakeSequential(UUID* uuid) {
  memset(uuid, 0, sizeof(*uuid));
  uuid->Data1 = 0x1000u + static_cast<unsigned long>(g_fakeCalls++);
  uuid->Data4[0] = 0x80;
  memcpy(&uuid->Data4[2], g_fakeNode, sizeof(g_fakeNode));
  return RPC_S_OK;
}

RPC_STATUS RPC_ENTRY FakeLocalOnly(UUID* uuid) {
  memset(uuid, 0x11, sizeof(*uuid));
  return RPC_S_UUID_LOCAL_ONLY;
}

RPC_STATUS RPC_ENTRY FakeOutOfMemory(UUID*) { return RPC_S_OUT_OF_MEMORY; }

bool IsUpperHex(const std::wstring& text) {
  for (wchar_t c : text) {
    if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'))) return false;
  }
  return true;
}

}  // namespace

TEST_SUITE("machine identifier") {
  TEST_CASE("this machine's identifier is 40 upper-case hexadecimal characters, every time") {
    std::wstring first;
    std::wstring second;
    const Result r1 = GetMachineId(first);
    const Result r2 = GetMachineId(second);
    REQUIRE(r1.hr == S_OK);
    REQUIRE(r2.hr == S_OK);
    CHECK(r1.code == 0);
    CHECK(r1.message.empty());
    CHECK(first.size() == 40);
    CHECK(IsUpperHex(first));
    CHECK(first == second);
  }

  TEST_CASE("the identifier is the SHA-1 of the node bytes alone") {
    memset(g_fakeNode, 0, sizeof(g_fakeNode));
    std::wstring id;
    REQUIRE(GetMachineId(id, &FakeSequential).hr == S_OK);
    CHECK(id == L"7722745105E9E02E8F1AAF17F7B3AAC5C56CD805");

    const unsigned char node[6] = {0x2a, 0x2b, 0xa3, 0x37, 0x6c, 0xc1};
    memcpy(g_fakeNode, node, sizeof(node));
    std::wstring again;
    REQUIRE(GetMachineId(id, &FakeSequential).hr == S_OK);
    REQUIRE(GetMachineId(again, &FakeSequential).hr == S_OK);
    CHECK(id == L"BFE2EBCF0EE75A7A38353AC4D1B08FCC09B5A851");
    CHECK(again == id);
  }

  TEST_CASE("a locally unique UUID names no machine") {
    std::wstring id = L"unchanged";
    const Result r = GetMachineId(id, &FakeLocalOnly);
    CHECK(r.hr == static_cast<HRESULT>(0x80070720));
    CHECK(r.code == 99);
    CHECK(r.message.empty());
    CHECK(id == L"unchanged");
  }

  TEST_CASE("other failures carry the status as an HRESULT") {
    std::wstring id;
    const Result r = GetMachineId(id, &FakeOutOfMemory);
    CHECK(r.hr == static_cast<HRESULT>(0x8007000E));
    CHECK(r.code == 99);
    CHECK(id.empty());
  }
}
