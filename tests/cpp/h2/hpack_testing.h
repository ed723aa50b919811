// Helpers shared by the HPACK tests: hex, a sink that records what a block
// delivered, and the interop stories.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "proto/h2/hpack.h"

namespace velmora::h2::hpack::testing {

using Fields = std::vector<std::pair<std::string, std::string>>;

inline std::string unhex(std::string_view h) {
  auto nib = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  std::string out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(char(nib(h[i]) << 4 | nib(h[i + 1])));
  return out;
}

inline std::string hex(std::string_view s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out.push_back(d[c >> 4]);
    out.push_back(d[c & 15]);
  }
  return out;
}

// Records every delivered field, pseudo-headers by their names.
struct Recorder : FieldSink {
  Fields fields;
  std::vector<bool> never;
  size_t refuse_after = SIZE_MAX;  // refuse regular fields past this many

  void on_pseudo(Pseudo p, std::string_view v) override {
    fields.emplace_back(std::string(pseudo_name(p)), std::string(v));
    never.push_back(false);
  }
  bool on_field(std::string_view n, std::string_view v, bool nev) override {
    if (fields.size() >= refuse_after) return false;
    fields.emplace_back(std::string(n), std::string(v));
    never.push_back(nev);
    return true;
  }
};

struct BlockOutcome {
  Fields fields;
  bool ok = false;
  BlockStatus status = BlockStatus::complete;
  HpackError error{};
};

// Decodes one whole block.
inline BlockOutcome decode_block(Decoder& d, std::string_view wire, uint32_t max_list = 16u << 20) {
  HeaderBlock block(max_list);
  Recorder rec;
  BlockOutcome o;
  auto r = d.decode(wire, block, rec, true);
  o.ok = r.has_value();
  if (r) o.status = r->status;
  else o.error = r.error();
  o.fields = std::move(rec.fields);
  return o;
}

// ---- interop stories -----------------------------------------------------------

struct StoryCase {
  std::string wire;               // the block, raw
  Fields headers;
  long header_table_size = -1;   // -1: not announced before this case
};

struct Story {
  std::string name;
  std::vector<StoryCase> cases;
};

// The stories' directory: $VELMORA_SHARED_DIR or the shared tree beside the
// checkout; empty when neither holds them.
inline std::filesystem::path stories_root() {
  std::vector<std::filesystem::path> tries;
  if (const char* e = std::getenv("VELMORA_SHARED_DIR"); e && *e) tries.emplace_back(e);
  tries.emplace_back(std::filesystem::path(VELMORA_SOURCE_DIR) / ".." / "shared");
  for (auto& t : tries) {
    auto p = t / "conformance" / "hpack";
    if (std::filesystem::is_directory(p)) return p;
  }
  return {};
}

// Just enough JSON for the story files: objects, arrays, strings with
// escapes, numbers.
class Json {
 public:
  explicit Json(std::string text) : s_(std::move(text)) {}

  // Fills `story` from one story file.
  bool parse_story(Story& story) {
    ws();
    if (!eat('{')) return false;
    for (;;) {
      ws();
      std::string key;
      if (!string(key)) return false;
      ws();
      if (!eat(':')) return false;
      ws();
      if (key == "cases") {
        if (!cases(story)) return false;
      } else if (!skip()) {
        return false;
      }
      ws();
      if (eat(',')) continue;
      return eat('}');
    }
  }

 private:
  bool cases(Story& story) {
    if (!eat('[')) return false;
    ws();
    if (eat(']')) return true;
    for (;;) {
      ws();
      StoryCase c;
      if (!eat('{')) return false;
      for (;;) {
        ws();
        std::string key;
        if (!string(key)) return false;
        ws();
        if (!eat(':')) return false;
        ws();
        if (key == "wire") {
          std::string h;
          if (!string(h)) return false;
          c.wire = unhex(h);
        } else if (key == "header_table_size") {
          c.header_table_size = number();
        } else if (key == "headers") {
          if (!headers(c.headers)) return false;
        } else if (!skip()) {
          return false;
        }
        ws();
        if (eat(',')) continue;
        if (!eat('}')) return false;
        break;
      }
      story.cases.push_back(std::move(c));
      ws();
      if (eat(',')) continue;
      return eat(']');
    }
  }

  bool headers(Fields& out) {
    if (!eat('[')) return false;
    ws();
    if (eat(']')) return true;
    for (;;) {
      ws();
      if (!eat('{')) return false;
      ws();
      std::string n, v;
      if (!string(n)) return false;
      ws();
      if (!eat(':')) return false;
      ws();
      if (!string(v)) return false;
      ws();
      if (!eat('}')) return false;
      out.emplace_back(std::move(n), std::move(v));
      ws();
      if (eat(',')) continue;
      return eat(']');
    }
  }

  bool skip() {
    ws();
    if (i_ >= s_.size()) return false;
    char c = s_[i_];
    if (c == '"') {
      std::string tmp;
      return string(tmp);
    }
    if (c == '{' || c == '[') {
      char close = c == '{' ? '}' : ']';
      ++i_;
      ws();
      if (eat(close)) return true;
      for (;;) {
        if (c == '{') {
          std::string k;
          ws();
          if (!string(k)) return false;
          ws();
          if (!eat(':')) return false;
        }
        if (!skip()) return false;
        ws();
        if (eat(',')) continue;
        return eat(close);
      }
    }
    while (i_ < s_.size() && std::string_view(",}] \n\r\t").find(s_[i_]) == std::string_view::npos) ++i_;
    return true;
  }

  long number() {
    long v = 0;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') v = v * 10 + (s_[i_++] - '0');
    return v;
  }

  bool string(std::string& out) {
    if (!eat('"')) return false;
    while (i_ < s_.size()) {
      char c = s_[i_++];
      if (c == '"') return true;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (i_ >= s_.size()) return false;
      char e = s_[i_++];
      switch (e) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'u': {
          if (i_ + 4 > s_.size()) return false;
          unsigned cp = std::stoul(s_.substr(i_, 4), nullptr, 16);
          i_ += 4;
          // The stories hold Latin-1 text at most; write UTF-8.
          if (cp < 0x80) {
            out.push_back(char(cp));
          } else if (cp < 0x800) {
            out.push_back(char(0xc0 | cp >> 6));
            out.push_back(char(0x80 | (cp & 0x3f)));
          } else {
            out.push_back(char(0xe0 | cp >> 12));
            out.push_back(char(0x80 | ((cp >> 6) & 0x3f)));
            out.push_back(char(0x80 | (cp & 0x3f)));
          }
          break;
        }
        default: out.push_back(e); break;
      }
    }
    return false;
  }

  void ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
  }
  bool eat(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }

  std::string s_;
  size_t i_ = 0;
};

// Every story of one encoder directory ("go-hpack", "raw-data", ...), in
// name order; empty when the directory is missing.
inline std::vector<Story> load_stories(const std::filesystem::path& root, std::string_view encoder) {
  std::vector<Story> out;
  auto dir = root / encoder;
  if (!std::filesystem::is_directory(dir)) return out;
  std::vector<std::filesystem::path> files;
  for (auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().extension() == ".json") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    Story s;
    s.name = std::string(encoder) + "/" + f.filename().string();
    if (!Json(ss.str()).parse_story(s)) s.cases.clear();
    out.push_back(std::move(s));
  }
  return out;
}

// What a block holding `headers` must deliver under the message rules:
// forbidden fields, values with surrounding whitespace and misplaced or
// repeated pseudo-headers dropped; sets
// `malformed` when anything was.
inline Fields expected_fields(const Fields& headers, bool& malformed) {
  Fields out;
  malformed = false;
  bool regular = false;
  std::vector<std::string> seen;
  for (auto& [n, v] : headers) {
    if (!v.empty() && (v.front() == ' ' || v.front() == '\t' || v.back() == ' ' || v.back() == '\t')) {
      malformed = true;
      continue;
    }
    if (!n.empty() && n[0] == ':') {
      bool dup = std::find(seen.begin(), seen.end(), n) != seen.end();
      if (regular || dup) {
        malformed = true;
        continue;
      }
      seen.push_back(n);
    } else {
      if (n == "connection" || n == "transfer-encoding" || n == "upgrade" || n == "keep-alive" ||
          n == "proxy-connection" || (n == "te" && v != "trailers")) {
        malformed = true;
        continue;
      }
      regular = true;
    }
    out.emplace_back(n, v);
  }
  return out;
}

}  // namespace velmora::h2::hpack::testing
