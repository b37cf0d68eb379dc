// Tests of the search for the bundle key in the certificate table's bytes.

#include <doctest/doctest.h>

#include <string>

#include "launcher/key_search.h"

namespace {

const std::string kKey40 = "0123456789abcdef0123456789abcdef01234567";
const std::string kBegin = ">>key_begin|";
const std::string kEnd = "|key_end<<";

KeySearchResult Search(const std::string& table) {
  return FindKeyInTable(reinterpret_cast<const unsigned char*>(table.data()), table.size());
}

// Stand-in for a WIN_CERTIFICATE entry: header, then bytes that include zeros.
std::string FakeSignature() {
  std::string entry("\x48\x1e\x00\x00\x00\x02\x02\x00", 8);
  for (int i = 0; i < 7808; ++i) entry += static_cast<char>((i * 37) % 251);
  return entry;
}

}  // namespace

TEST_CASE("marker constants") {
  CHECK(std::string(kKeyBeginMarker) == kBegin);
  CHECK(std::string(kKeyEndMarker) == kEnd);
  CHECK(kKeyBeginMarkerLength == 12);
  CHECK(kKeyEndMarkerLength == 10);
  CHECK(kMaxKeyLength == 1023);
}

TEST_CASE("40-character key at the end of the table, followed by zero padding") {
  const std::string table = FakeSignature() + kBegin + kKey40 + kEnd + std::string(2, '\0');
  REQUIRE(table.size() == 7880);
  const KeySearchResult found = Search(table);
  CHECK(found.code == 0);
  CHECK(found.key == kKey40);
}

TEST_CASE("zero bytes before the trailer do not end the search") {
  const std::string table = std::string(100, '\0') + kBegin + "abc" + kEnd;
  const KeySearchResult found = Search(table);
  CHECK(found.code == 0);
  CHECK(found.key == "abc");
}

TEST_CASE("marker texts outside the given bytes are never found") {
  const std::string before = kBegin + kKey40 + kEnd;
  const std::string inside = FakeSignature();
  const std::string after = kBegin + kKey40 + kEnd;
  const std::string file = before + inside + after;
  const unsigned char* data = reinterpret_cast<const unsigned char*>(file.data());
  const KeySearchResult found = FindKeyInTable(data + before.size(), inside.size());
  CHECK(found.code == 420);
  CHECK(found.key.empty());

  // A trailer cut by the end of the table: its end marker lies outside.
  const std::string cut = inside + kBegin + kKey40 + kEnd;
  CHECK(FindKeyInTable(reinterpret_cast<const unsigned char*>(cut.data()), cut.size() - 1).code ==
        423);
}

TEST_CASE("begin marker immediately followed by the end marker") {
  CHECK(Search(kBegin + kEnd).code == 428);
  CHECK(Search(FakeSignature() + kBegin + kEnd + std::string(2, '\0')).code == 428);
}

TEST_CASE("end marker starting inside the begin marker") {
  // ">>key_begin|key_end<<": the end marker begins at the begin marker's '|'.
  const KeySearchResult found = Search(">>key_begin|key_end<<");
  CHECK(found.code == 428);
  CHECK(found.key.empty());
}

TEST_CASE("end marker only in front of the begin marker") {
  CHECK(Search(kEnd + kBegin + kKey40).code == 425);
  CHECK(Search("xx" + kEnd + "yy" + kBegin + kKey40 + std::string(6, '\0')).code == 425);
}

TEST_CASE("the first end marker counts even when a later one follows the begin marker") {
  CHECK(Search(kEnd + kBegin + kKey40 + kEnd).code == 425);
}

TEST_CASE("two trailers: the first begin and the first end marker win") {
  const KeySearchResult found =
      Search(kBegin + "first" + kEnd + std::string(3, '\0') + kBegin + "second" + kEnd);
  CHECK(found.code == 0);
  CHECK(found.key == "first");
}

TEST_CASE("key of 1023 bytes is accepted, 1024 bytes fail with 429") {
  const std::string key1023(1023, 'k');
  const KeySearchResult found = Search(kBegin + key1023 + kEnd);
  CHECK(found.code == 0);
  CHECK(found.key == key1023);

  CHECK(Search(kBegin + std::string(1024, 'k') + kEnd).code == 429);
  CHECK(Search(kBegin + std::string(70000, 'k') + kEnd).code == 429);
  // Length is checked before the bytes.
  CHECK(Search(kBegin + std::string(1024, '"') + kEnd).code == 429);
}

TEST_CASE("one-byte keys at the edges of the allowed range") {
  CHECK(Search(kBegin + "!" + kEnd).key == "!");
  CHECK(Search(kBegin + "~" + kEnd).key == "~");
  CHECK(Search(kBegin + "|" + kEnd).key == "|");
}

TEST_CASE("forbidden key bytes fail with 431") {
  CHECK(Search(kBegin + "ab\"cd" + kEnd).code == 431);
  CHECK(Search(kBegin + "ab cd" + kEnd).code == 431);
  CHECK(Search(kBegin + " " + kEnd).code == 431);
  CHECK(Search(kBegin + "ab\x7f" + kEnd).code == 431);
  CHECK(Search(kBegin + "\x80" + kEnd).code == 431);
  CHECK(Search(kBegin + "\xff" + kEnd).code == 431);
  CHECK(Search(kBegin + "a\tb" + kEnd).code == 431);
  CHECK(Search(kBegin + "a\r\nb" + kEnd).code == 431);
  CHECK(Search(kBegin + std::string("a\0b", 3) + kEnd).code == 431);
  const KeySearchResult found = Search(kBegin + "\"" + kEnd);
  CHECK(found.code == 431);
  CHECK(found.key.empty());
}

TEST_CASE("a key may hold a backslash but not end in one") {
  // "abc\" would end up as "abc\" on the installer's command line, where the
  // backslash escapes the closing quote.
  CHECK(Search(kBegin + "abc\\" + kEnd).code == 431);
  CHECK(Search(kBegin + "\\" + kEnd).code == 431);
  CHECK(ValidateKey("a\\\\") == 431);
  CHECK(Search(kBegin + "a\\bc" + kEnd).key == "a\\bc");
  CHECK(Search(kBegin + "\\abc" + kEnd).key == "\\abc");
}

TEST_CASE("no begin marker fails with 420") {
  CHECK(Search(FakeSignature()).code == 420);
  CHECK(Search(kKey40 + kEnd).code == 420);
  CHECK(Search(">>key_begin" + kKey40 + kEnd).code == 420);
  CHECK(Search(">>KEY_BEGIN|" + kKey40 + kEnd).code == 420);
}

TEST_CASE("begin marker without an end marker fails with 423") {
  CHECK(Search(kBegin + kKey40).code == 423);
  CHECK(Search(kBegin + kKey40 + "|key_end<").code == 423);
  CHECK(Search(kBegin + kKey40 + std::string(2, '\0')).code == 423);
}

TEST_CASE("empty buffer") {
  CHECK(FindKeyInTable(nullptr, 0).code == 420);
  const unsigned char byte = '>';
  CHECK(FindKeyInTable(&byte, 0).code == 420);
  CHECK(Search(std::string()).code == 420);
  CHECK(Search(">").code == 420);
}

TEST_CASE("key checks on their own") {
  CHECK(IsValidKeyByte('!'));
  CHECK(IsValidKeyByte('~'));
  CHECK(IsValidKeyByte('a'));
  CHECK_FALSE(IsValidKeyByte(' '));
  CHECK_FALSE(IsValidKeyByte('"'));
  CHECK_FALSE(IsValidKeyByte(0x7F));
  CHECK_FALSE(IsValidKeyByte(0x00));
  CHECK_FALSE(IsValidKeyByte(0x80));
  CHECK(ValidateKey(kKey40) == 0);
  CHECK(ValidateKey(std::string()) == 428);
  CHECK(ValidateKey(std::string(1024, 'a')) == 429);
  CHECK(ValidateKey("a b") == 431);
  for (int code : {0, 420, 423, 425, 428, 429, 431, 12345}) {
    CHECK(KeyError(code) != nullptr);
  }
}

TEST_CASE("certificate table place from a file's headers") {
  // e_lfanew 0x80, "PE\0\0", the optional header's magic at 0x18 past it,
  // and the certificate table entry at 0x98 (PE32) or 0xA8 (PE32+) past it.
  struct Layout {
    std::uint16_t magic;
    std::size_t entry;
  };
  for (const Layout layout : {Layout{0x10B, 0x98}, Layout{0x20B, 0xA8}}) {
    CAPTURE(layout.magic);
    std::string headers(0x200, '\0');
    headers[0x3C] = '\x80';
    headers.replace(0x80, 4, std::string("PE\0\0", 4));
    headers[0x80 + 0x18] = static_cast<char>(layout.magic & 0xFF);
    headers[0x80 + 0x19] = static_cast<char>(layout.magic >> 8);
    auto set = [&headers](std::size_t at, std::uint32_t v) {
      for (int i = 0; i < 4; ++i) headers[at + i] = static_cast<char>(v >> (8 * i));
    };
    auto locate = [&headers](std::size_t size) {
      return LocateCertificateTable(reinterpret_cast<const unsigned char*>(headers.data()), size);
    };
    const std::size_t entry = 0x80 + layout.entry;
    set(entry, 0x1000);
    set(entry + 4, 0x208);
    const CertificateTablePlace found = locate(headers.size());
    CHECK(found.code == 0);
    CHECK(found.offset == 0x1000);
    CHECK(found.size == 0x208);

    CHECK(locate(entry + 8).code == 0);    // the entry ends where the bytes end
    CHECK(locate(entry + 7).code == 374);  // the entry runs past the bytes given
    CHECK(locate(0x3F).code == 374);
    set(0x3C, 0xFFFFFFF0);  // e_lfanew far outside
    CHECK(locate(headers.size()).code == 374);
    set(0x3C, 0x80);
    headers[0x81] = 'X';
    CHECK(locate(headers.size()).code == 374);
    headers[0x81] = 'E';
    headers[0x80 + 0x19] = 0x03;  // neither PE32 nor PE32+ (a ROM image's 0x107)
    CHECK(locate(headers.size()).code == 374);
    headers[0x80 + 0x19] = static_cast<char>(layout.magic >> 8);
    set(entry + 4, 0);
    CHECK(locate(headers.size()).code == 378);
    set(entry + 4, 0xFFFFF);
    CHECK(locate(headers.size()).code == 0);
    set(entry + 4, 0x100000);
    CHECK(locate(headers.size()).code == 379);
    set(entry + 4, 0x208);
    set(entry, 0);
    CHECK(locate(headers.size()).code == 380);
  }
}
