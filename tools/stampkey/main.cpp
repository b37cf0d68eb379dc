// stampkey: writes a bundle key trailer into the certificate table of an
// already signed launcher, without signing it again. See kHelp below.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <new>
#include <random>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "launcher/key_search.h"
#include "pe_stamp.h"

namespace fs = std::filesystem;

namespace {

enum ExitCode {
  kExitOk = 0,
  kExitUsage = 1,
  kExitBadInput = 2,
  kExitBadKey = 3,
  kExitIo = 4,
  kExitNoKey = 5,
};

const char kHelp[] =
    "usage:\n"
    "  stampkey IN.exe OUT.exe KEY\n"
    "      Copy the signed launcher IN.exe to OUT.exe with KEY in its key trailer.\n"
    "  stampkey --batch [--name PATTERN] IN.exe KEYS.txt OUTDIR\n"
    "      One stamped copy of IN.exe per key in KEYS.txt (one key per line; blank\n"
    "      lines are skipped, a trailing CR is removed). PATTERN names the copies\n"
    "      inside OUTDIR (created if missing): {key} is the key, {n} the copy's\n"
    "      number (1, 2, ...), {line} the key's line number; default \"{key}.exe\".\n"
    "      If any line is bad, nothing at all is written and the bad lines are listed.\n"
    "  stampkey --read FILE.exe\n"
    "      Print the key found in FILE.exe's certificate table, as the launcher reads it.\n"
    "  stampkey --help\n"
    "\n"
    "The trailer \">>key_begin|\" KEY \"|key_end<<\", zero padded to a multiple of 8\n"
    "bytes, goes at the end of the certificate table, after the WIN_CERTIFICATE\n"
    "entries, whose own lengths stay unchanged. The table's size in the security data\n"
    "directory grows to cover it and the PE checksum is recomputed; nothing the\n"
    "Authenticode digest covers changes, so the signature stays valid. A trailer the\n"
    "input already carries is replaced, never repeated.\n"
    "\n"
    "A key is 1 to 1023 bytes, each in 0x21..0x7E (printable ASCII, no blank), with\n"
    "no double quote and no backslash at its end (it goes on a command line in\n"
    "quotes). IN.exe must be a signed PE32 or PE32+ file whose certificate table ends\n"
    "at the end of the file. Outputs are written to a temporary file in the same\n"
    "folder and renamed into place, so a failed run leaves no partial file.\n"
    "\n"
    "exit codes:\n"
    "  0  success\n"
    "  1  usage error (bad arguments, output path is the input file)\n"
    "  2  bad input file (not PE, not signed, certificate table out of bounds or\n"
    "     not at the end of the file, unknown data in it, stamped table 1 MiB or more)\n"
    "  3  bad key (empty, 1024 bytes or longer, a forbidden byte, a final backslash);\n"
    "     in batch mode also an unusable or repeated output name, or no keys at all\n"
    "  4  I/O error (an input cannot be read, an output cannot be written)\n"
    "  5  --read: the file holds no valid key\n";

// A failure that ends the program with an exit code and a message.
struct Fail {
  int exitCode;
  std::string message;
};

std::string Quote(const fs::path& path) { return "'" + path.string() + "'"; }

std::string ErrnoText() { return std::strerror(errno); }

// Reads a whole file. A file larger than limit is refused as bad input.
std::vector<std::uint8_t> ReadWholeFile(const fs::path& path, std::uint64_t limit) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) throw Fail{kExitIo, Quote(path) + " is a directory"};
  errno = 0;
  std::FILE* f = std::fopen(path.string().c_str(), "rb");
  if (f == nullptr) throw Fail{kExitIo, "cannot open " + Quote(path) + ": " + ErrnoText()};
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> chunk(1 << 16);
  for (;;) {
    const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), f);
    if (got > limit - data.size()) {
      std::fclose(f);
      throw Fail{kExitBadInput, Quote(path) + " is too large"};
    }
    data.insert(data.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
    if (got < chunk.size()) break;
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) throw Fail{kExitIo, "cannot read " + Quote(path)};
  return data;
}

// A PE file cannot be longer than its 32-bit offsets reach.
std::vector<std::uint8_t> ReadPeFile(const fs::path& path) {
  return ReadWholeFile(path, UINT32_MAX);
}

// True when out names the same file as in: the same canonical path, or (when
// out exists) the same file reached another way, e.g. through a link.
bool SameFile(const fs::path& in, const fs::path& out) {
  std::error_code ec;
  if (fs::exists(out, ec) && fs::equivalent(in, out, ec)) return true;
  std::error_code ecIn, ecOut;
  const fs::path canonicalIn = fs::weakly_canonical(in, ecIn);
  const fs::path canonicalOut = fs::weakly_canonical(out, ecOut);
  return !ecIn && !ecOut && canonicalIn == canonicalOut;
}

// An output written to a temporary file beside its target and renamed into
// place by Commit. Until then the target is untouched; a file that is not
// committed is removed when the object goes away.
class OutputFile {
 public:
  explicit OutputFile(fs::path target) : target_(std::move(target)) {}
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { Discard(); }

  void Open() {
    static std::mt19937_64 random{std::random_device{}()};
    const fs::path folder = target_.parent_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
      char suffix[40];
      std::snprintf(suffix, sizeof(suffix), ".stampkey-%016llx.tmp",
                    static_cast<unsigned long long>(random()));
      const fs::path temp = folder / ("." + target_.filename().string() + suffix);
      errno = 0;
      file_ = std::fopen(temp.string().c_str(), "wbx");  // fails if the name exists
      if (file_ != nullptr) {
        temp_ = temp;
        return;
      }
      if (errno != EEXIST) {
        throw Fail{kExitIo,
                   "cannot create a file in the folder of " + Quote(target_) + ": " + ErrnoText()};
      }
    }
    throw Fail{kExitIo, "cannot create a temporary file beside " + Quote(target_)};
  }

  void Write(const std::vector<std::uint8_t>& bytes) {
    errno = 0;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
      throw Fail{kExitIo, "cannot write " + Quote(temp_) + ": " + ErrnoText()};
    }
  }

  // Closes the temporary file, gives it the permissions of permissionsFrom
  // and renames it to the target (replacing an existing target).
  void Commit(const fs::path& permissionsFrom) {
    errno = 0;
    const bool flushed = std::fflush(file_) == 0 && std::ferror(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!flushed || !closed) {
      throw Fail{kExitIo, "cannot write " + Quote(temp_) + ": " + ErrnoText()};
    }
    std::error_code ec;
    const fs::file_status status = fs::status(permissionsFrom, ec);
    if (!ec) fs::permissions(temp_, status.permissions(), ec);  // best effort
    fs::rename(temp_, target_, ec);
    if (ec) throw Fail{kExitIo, "cannot write " + Quote(target_) + ": " + ec.message()};
    temp_.clear();
  }

 private:
  void Discard() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!temp_.empty()) {
      std::error_code ec;
      fs::remove(temp_, ec);
      temp_.clear();
    }
  }

  fs::path target_;
  fs::path temp_;
  std::FILE* file_ = nullptr;
};

stampkey::StampTemplate LoadTemplate(const fs::path& in) {
  stampkey::StampTemplate stamp;
  std::string error;
  if (!stamp.Init(ReadPeFile(in), error)) throw Fail{kExitBadInput, Quote(in) + ": " + error};
  return stamp;
}

void WriteCopy(stampkey::StampTemplate& stamp, const std::string& key, const fs::path& in,
               const fs::path& out) {
  std::vector<std::uint8_t> trailer;
  stamp.Stamp(key, trailer);
  OutputFile file(out);
  file.Open();
  file.Write(stamp.Prefix());
  file.Write(trailer);
  file.Commit(in);
}

int RunStamp(const fs::path& in, const fs::path& out, const std::string& key) {
  const int code = ValidateKey(key);
  if (code != kKeyFound) throw Fail{kExitBadKey, std::string("invalid key: ") + KeyError(code)};
  if (SameFile(in, out)) {
    throw Fail{kExitUsage, "output " + Quote(out) + " is the input file; write the copy elsewhere"};
  }
  stampkey::StampTemplate stamp = LoadTemplate(in);
  std::string error;
  if (!stamp.CheckKey(key, error)) throw Fail{kExitBadKey, "invalid key: " + error};
  if (!stamp.CheckFits(key.size(), error)) throw Fail{kExitBadInput, Quote(in) + ": " + error};
  WriteCopy(stamp, key, in, out);
  std::printf("%s: key stamped%s\n", out.string().c_str(),
              stamp.HadTrailer() ? " (earlier key replaced)" : "");
  return kExitOk;
}

int RunRead(const fs::path& path) {
  const std::vector<std::uint8_t> file = ReadPeFile(path);
  stampkey::PeHeaders headers;
  std::string error;
  if (!stampkey::ParsePe(file.data(), file.size(), headers, error) ||
      !stampkey::CheckTablePlacement(headers, file.size(), error)) {
    throw Fail{kExitBadInput, Quote(path) + ": " + error};
  }
  const KeySearchResult found =
      FindKeyInTable(file.data() + headers.tableOffset, headers.tableSize);
  if (found.code != kKeyFound) {
    throw Fail{kExitNoKey, Quote(path) + ": no valid key: " + KeyError(found.code) + " (" +
                               std::to_string(found.code) + ")"};
  }
  errno = 0;
  std::fwrite(found.key.data(), 1, found.key.size(), stdout);
  std::fputc('\n', stdout);
  if (std::fflush(stdout) != 0) throw Fail{kExitIo, "cannot write the key: " + ErrnoText()};
  return kExitOk;
}

struct KeyLine {
  std::size_t line;  // 1-based line number in the key file
  std::string key;
};

// Splits the key file into keys: one per line, a trailing CR removed, lines
// that are empty or hold only blanks and tabs skipped, a UTF-8 byte order
// mark at the start ignored.
std::vector<KeyLine> SplitKeys(const std::vector<std::uint8_t>& text) {
  std::vector<KeyLine> keys;
  std::size_t pos = 0;
  if (text.size() >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF) pos = 3;
  std::size_t lineNumber = 0;
  while (pos < text.size()) {
    ++lineNumber;
    std::size_t end = pos;
    while (end < text.size() && text[end] != '\n') ++end;
    const std::size_t next = end < text.size() ? end + 1 : end;
    if (end > pos && text[end - 1] == '\r') --end;
    std::string line(reinterpret_cast<const char*>(text.data()) + pos, end - pos);
    if (line.find_first_not_of(" \t") != std::string::npos) keys.push_back({lineNumber, line});
    pos = next;
  }
  return keys;
}

std::string ExpandName(const std::string& pattern, const std::string& key, std::size_t number,
                       std::size_t line) {
  std::string name;
  for (std::size_t i = 0; i < pattern.size();) {
    if (pattern.compare(i, 5, "{key}") == 0) {
      name += key;
      i += 5;
    } else if (pattern.compare(i, 3, "{n}") == 0) {
      name += std::to_string(number);
      i += 3;
    } else if (pattern.compare(i, 6, "{line}") == 0) {
      name += std::to_string(line);
      i += 6;
    } else {
      name += pattern[i++];
    }
  }
  return name;
}

// A name must be one plain file name that Windows accepts too.
bool CheckFileName(const std::string& name, std::string& why) {
  if (name.empty() || name == "." || name == "..") {
    why = "not a file name";
    return false;
  }
  if (name.size() > 255) {
    why = "longer than 255 bytes";
    return false;
  }
  for (const char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || std::strchr("/\\:*?\"<>|", c) != nullptr) {
      why = u < 0x20 || u == 0x7F ? "holds a control character"
                                  : std::string("holds the character '") + c + "'";
      return false;
    }
  }
  if (name.back() == '.' || name.back() == ' ') {
    why = "ends in a dot or a blank";
    return false;
  }
  return true;
}

int RunBatch(const fs::path& in, const fs::path& keysPath, const fs::path& outDir,
             const std::string& pattern) {
  std::string why;
  if (pattern.find_first_of("/\\") != std::string::npos) {
    throw Fail{kExitUsage, "--name must give a plain file name, not a path"};
  }
  // Keys first: they are the likely mistake, and cheap to check.
  const std::vector<KeyLine> keys = SplitKeys(ReadWholeFile(keysPath, UINT64_MAX));
  stampkey::StampTemplate stamp = LoadTemplate(in);

  std::vector<std::string> problems;
  std::vector<fs::path> outputs;
  std::map<std::string, std::size_t> nameLines;
  std::size_t longest = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const KeyLine& k = keys[i];
    const std::string where = "line " + std::to_string(k.line) + ": ";
    std::string error;
    if (!stamp.CheckKey(k.key, error)) {
      problems.push_back(where + "invalid key: " + error);
      continue;
    }
    const std::string name = ExpandName(pattern, k.key, i + 1, k.line);
    const fs::path out = outDir / name;
    if (!CheckFileName(name, why)) {
      problems.push_back(where + "output name '" + name + "' cannot be used: " + why +
                         " (use --name with {n})");
      continue;
    }
    const auto inserted = nameLines.emplace(name, k.line);
    if (!inserted.second) {
      problems.push_back(where + "output name '" + name + "' repeats the one of line " +
                         std::to_string(inserted.first->second));
      continue;
    }
    if (SameFile(in, out)) {
      problems.push_back(where + "output " + Quote(out) + " is the input file");
      continue;
    }
    outputs.push_back(out);
    if (k.key.size() > longest) longest = k.key.size();
  }
  if (keys.empty()) throw Fail{kExitBadKey, Quote(keysPath) + " holds no keys; nothing written"};
  if (!problems.empty()) {
    const std::size_t shown = problems.size() < 100 ? problems.size() : 100;
    for (std::size_t i = 0; i < shown; ++i) {
      std::fprintf(stderr, "stampkey: %s: %s\n", keysPath.string().c_str(), problems[i].c_str());
    }
    if (shown < problems.size()) {
      std::fprintf(stderr, "stampkey: ... and %zu more\n", problems.size() - shown);
    }
    throw Fail{kExitBadKey, std::to_string(problems.size()) + " bad line(s) in " + Quote(keysPath) +
                                "; batch refused, nothing written"};
  }
  std::string error;
  if (!stamp.CheckFits(longest, error)) throw Fail{kExitBadInput, Quote(in) + ": " + error};

  std::error_code ec;
  if (!fs::exists(outDir, ec)) {
    fs::create_directories(outDir, ec);
    if (ec) throw Fail{kExitIo, "cannot create " + Quote(outDir) + ": " + ec.message()};
  } else if (!fs::is_directory(outDir, ec)) {
    throw Fail{kExitIo, Quote(outDir) + " is not a folder"};
  }

  std::size_t written = 0;
  try {
    for (std::size_t i = 0; i < keys.size(); ++i) {
      WriteCopy(stamp, keys[i].key, in, outputs[i]);
      ++written;
    }
  } catch (Fail& failure) {
    failure.message += " (" + std::to_string(written) + " of " + std::to_string(keys.size()) +
                       " copies were written before this)";
    throw;
  }
  std::printf("%zu stamped copies written to %s\n", written, outDir.string().c_str());
  return kExitOk;
}

int Usage(const std::string& problem) {
  std::fprintf(stderr,
               "stampkey: %s\n"
               "usage: stampkey IN.exe OUT.exe KEY\n"
               "       stampkey --batch [--name PATTERN] IN.exe KEYS.txt OUTDIR\n"
               "       stampkey --read FILE.exe\n"
               "       stampkey --help   (details and exit codes)\n",
               problem.c_str());
  return kExitUsage;
}

int Run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  enum class Mode { kStamp, kRead, kBatch } mode = Mode::kStamp;
  bool modeSet = false;
  std::string pattern = "{key}.exe";
  bool patternSet = false;
  std::size_t i = 0;
  for (; i < args.size() && args[i].size() > 1 && args[i][0] == '-'; ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      ++i;
      break;
    }
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return kExitOk;
    }
    if (a == "--read" || a == "--batch") {
      if (modeSet) return Usage("--read and --batch exclude each other");
      mode = a == "--read" ? Mode::kRead : Mode::kBatch;
      modeSet = true;
    } else if (a == "--name" || a.compare(0, 7, "--name=") == 0) {
      if (a == "--name") {
        if (i + 1 >= args.size()) return Usage("--name needs a pattern");
        pattern = args[++i];
      } else {
        pattern = a.substr(7);
      }
      patternSet = true;
    } else {
      return Usage("unknown option " + a);
    }
  }
  const std::vector<std::string> positional(args.begin() + static_cast<std::ptrdiff_t>(i),
                                            args.end());
  if (patternSet && mode != Mode::kBatch) return Usage("--name belongs to --batch");
  switch (mode) {
    case Mode::kStamp:
      if (positional.size() != 3) return Usage("expected IN.exe OUT.exe KEY");
      return RunStamp(positional[0], positional[1], positional[2]);
    case Mode::kRead:
      if (positional.size() != 1) return Usage("expected --read FILE.exe");
      return RunRead(positional[0]);
    case Mode::kBatch:
      if (positional.size() != 3) return Usage("expected --batch IN.exe KEYS.txt OUTDIR");
      if (pattern.empty()) return Usage("--name needs a pattern");
      return RunBatch(positional[0], positional[1], positional[2], pattern);
  }
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const Fail& failure) {
    std::fprintf(stderr, "stampkey: %s\n", failure.message.c_str());
    return failure.exitCode;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "stampkey: out of memory\n");
    return kExitIo;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "stampkey: %s\n", e.what());
    return kExitIo;
  }
}
