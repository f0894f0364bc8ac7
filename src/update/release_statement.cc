#include "update/release_statement.h"

#include <algorithm>
#include <charconv>
#include <climits>

#include "crypto/base64.h"
#include "crypto/ed25519.h"
#include "crypto/sha256_digest.h"
#include "update/utc_time.h"

namespace launcher {
namespace {

constexpr std::size_t kMaxLineBytes = 1024;
constexpr std::size_t kMaxSignatures = 2;
// Sizes fit a signed 64-bit number with room to add them up.
constexpr std::int64_t kMaxFileSize = std::int64_t{1} << 52;

// A decimal number without sign or leading zeros, within [minimum, maximum].
bool ParseNumber(std::string_view text, std::int64_t minimum, std::int64_t maximum,
                 std::int64_t& value) {
  if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0')) return false;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value >= minimum &&
         value <= maximum;
}

// A path of the tree: printable ASCII without spaces, relative, no empty,
// "." or ".." component.
bool IsTreePath(std::string_view path) {
  return std::all_of(path.begin(), path.end(), [](char c) { return c > 0x20 && c < 0x7F; }) &&
         HasProperComponents(path);
}

bool IsKeyId(std::string_view text) {
  return text.size() == kKeyIdChars && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// Splits `line` at single spaces into exactly `count` words (the last may not
// hold a space either). False for any other shape.
bool SplitWords(std::string_view line, std::size_t count, std::vector<std::string_view>& words) {
  words.clear();
  std::size_t start = 0;
  while (words.size() + 1 < count) {
    const std::size_t space = line.find(' ', start);
    if (space == std::string_view::npos) return false;
    words.push_back(line.substr(start, space - start));
    start = space + 1;
  }
  words.push_back(line.substr(start));
  for (std::string_view word : words) {
    if (word.empty() || word.find(' ') != std::string_view::npos) return false;
  }
  return true;
}

// Reads "<keyword> <value>" into `value`.
bool KeywordValue(std::string_view line, std::string_view keyword, std::string_view& value) {
  if (line.size() <= keyword.size() + 1 || line.substr(0, keyword.size()) != keyword ||
      line[keyword.size()] != ' ') {
    return false;
  }
  value = line.substr(keyword.size() + 1);
  return !value.empty() && value.find(' ') == std::string_view::npos;
}

class StatementReader {
 public:
  StatementReader(std::string_view bytes, std::string& problem) : rest_(bytes), problem_(problem) {}

  bool Read(SignedStatement& out) {
    const std::string_view all = rest_;
    std::string_view line;
    std::int64_t number = 0;
    if (!Next(line) || line != kStatementHeader) return Fail("not a release statement");
    std::string_view value;
    if (!Next(line) || !KeywordValue(line, "product", value) ||
        !ParseNumber(value, 1, INT_MAX, number)) {
      return Fail("bad product line");
    }
    out.statement.product = static_cast<int>(number);
    if (!Next(line) || !KeywordValue(line, "version", value) ||
        !ParseNumber(value, 1, INT_MAX, number)) {
      return Fail("bad version line");
    }
    out.statement.version = static_cast<int>(number);
    if (!Next(line) || !KeywordValue(line, "signed", value) ||
        !ParseUtcTime(value, out.statement.signedAt)) {
      return Fail("bad signed line");
    }
    if (!Next(line) || !KeywordValue(line, "expires", value) ||
        !ParseUtcTime(value, out.statement.expiresAt) ||
        out.statement.expiresAt <= out.statement.signedAt) {
      return Fail("bad expires line");
    }
    if (!ReadFiles(out.statement)) return false;
    out.signedPart = std::string(all.substr(0, all.size() - rest_.size()));
    return ReadSignatures(out.signatures);
  }

 private:
  bool Fail(const std::string& text) {
    problem_ = text;
    return false;
  }

  // The next line without its LF. False at the end, or for a line without
  // LF, with a CR or over the length limit (reported).
  bool Next(std::string_view& line) {
    if (rest_.empty()) return false;
    const std::size_t end = rest_.find('\n');
    if (end == std::string_view::npos || end + 1 > kMaxLineBytes) {
      problem_ = "a line without its end or too long";
      rest_ = {};
      return false;
    }
    line = rest_.substr(0, end);
    rest_.remove_prefix(end + 1);
    if (line.find('\r') != std::string_view::npos || line.find('\0') != std::string_view::npos) {
      problem_ = "a CR or NUL in a line";
      rest_ = {};
      return false;
    }
    return true;
  }

  // "file" lines and lines of other keywords up to "end".
  bool ReadFiles(ReleaseStatement& statement) {
    std::string_view line;
    std::vector<std::string_view> words;
    while (Next(line)) {
      if (line == "end") {
        if (statement.Find("patcher/files.md5") == nullptr ||
            statement.Find("patcher/manifest") == nullptr) {
          return Fail("the full list or the manifest is not named");
        }
        return true;
      }
      const std::string_view keyword = line.substr(0, line.find(' '));
      if (keyword == "file") {
        BoundFile file;
        if (!SplitWords(line, 4, words) || !ParseNumber(words[1], 0, kMaxFileSize, file.size) ||
            !IsSha256Hex(words[2]) || !IsTreePath(words[3])) {
          return Fail("bad file line: " + std::string(line));
        }
        file.sha256 = std::string(words[2]);
        file.path = std::string(words[3]);
        if (!statement.files.empty() && statement.files.back().path >= file.path) {
          return Fail("file lines not in strict path order at " + file.path);
        }
        statement.files.push_back(std::move(file));
      } else if (keyword.empty() || keyword == "release-statement" || keyword == "product" ||
                 keyword == "version" || keyword == "signed" || keyword == "expires" ||
                 keyword == "signature") {
        return Fail("misplaced line: " + std::string(line));
      }
      // A line of another keyword is an extension this reader does not use.
    }
    return Fail(problem_.empty() ? "no end line" : problem_);
  }

  bool ReadSignatures(std::vector<StatementSignature>& signatures) {
    std::string_view line;
    std::vector<std::string_view> words;
    while (Next(line)) {
      if (!SplitWords(line, 3, words) || words[0] != "signature" || !IsKeyId(words[1])) {
        return Fail("bad signature line");
      }
      std::optional<std::string> raw = Base64Decode(words[2]);
      if (!raw || raw->size() != kEd25519SignatureBytes) return Fail("bad signature value");
      for (const StatementSignature& seen : signatures) {
        if (seen.keyId == words[1]) return Fail("two signatures by one key");
      }
      signatures.push_back({std::string(words[1]), std::move(*raw)});
      if (signatures.size() > kMaxSignatures) return Fail("more than two signatures");
    }
    if (!problem_.empty()) return false;
    if (signatures.empty()) return Fail("no signature");
    return true;
  }

  std::string_view rest_;
  std::string& problem_;
};

}  // namespace

bool HasProperComponents(std::string_view path) {
  if (path.empty() || path.front() == '/' || path.back() == '/') return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

const BoundFile* ReleaseStatement::Find(std::string_view path) const {
  const auto it =
      std::lower_bound(files.begin(), files.end(), path,
                       [](const BoundFile& f, std::string_view p) { return f.path < p; });
  return it != files.end() && it->path == path ? &*it : nullptr;
}

bool ParseReleaseStatement(std::string_view bytes, SignedStatement& out, std::string& problem) {
  out = SignedStatement{};
  problem.clear();
  if (bytes.size() > static_cast<std::size_t>(kMaxStatementBytes)) {
    problem = "larger than a statement may be";
    return false;
  }
  return StatementReader(bytes, problem).Read(out);
}

SignatureCheck CheckStatementSignatures(const SignedStatement& statement, const ReleaseKeys& keys) {
  bool trusted = false;
  for (const StatementSignature& signature : statement.signatures) {
    const Ed25519PublicKey* key = keys.Find(signature.keyId);
    if (key == nullptr) continue;
    // A trusted key's signature that fails means the bytes were changed:
    // another signature that holds does not make them good.
    if (!key->Verify(statement.signedPart, signature.signature)) {
      return SignatureCheck::kBadSignature;
    }
    trusted = true;
  }
  return trusted ? SignatureCheck::kValid : SignatureCheck::kNoTrustedSignature;
}

std::string FormatStatementBody(ReleaseStatement statement) {
  std::sort(statement.files.begin(), statement.files.end(),
            [](const BoundFile& a, const BoundFile& b) { return a.path < b.path; });
  std::string text = std::string(kStatementHeader) + "\n";
  text += "product " + std::to_string(statement.product) + "\n";
  text += "version " + std::to_string(statement.version) + "\n";
  text += "signed " + FormatUtcTime(statement.signedAt) + "\n";
  text += "expires " + FormatUtcTime(statement.expiresAt) + "\n";
  for (const BoundFile& file : statement.files) {
    text += "file " + std::to_string(file.size) + " " + file.sha256 + " " + file.path + "\n";
  }
  return text + "end\n";
}

std::string FormatSignatureLine(std::string_view keyId, std::string_view signature) {
  return "signature " + std::string(keyId) + " " + Base64Encode(signature) + "\n";
}

}  // namespace launcher
