#include "framework/num_version_text.h"

#include <cstdio>
#include <cstring>

namespace {

// Appends whole pieces while they fit; Finish() places the terminator, over the last
// character when the buffer is full.
class PieceWriter {
 public:
  PieceWriter(char* buf, size_t len) : buf_(buf), len_(len) {}
  void Add(const char* piece) {
    size_t n = std::strlen(piece);
    if (pos_ + n > len_) return;
    std::memcpy(buf_ + pos_, piece, n);
    pos_ += n;
  }
  void Finish() { buf_[pos_ < len_ ? pos_ : len_ - 1] = '\0'; }

 private:
  char* buf_;
  size_t len_;
  size_t pos_ = 0;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

void ConvertNumVersionToString(NumVersion v, char* buf, size_t len,
                               unsigned char spaceBeforeStage) {
  if (buf == nullptr || len == 0) return;
  PieceWriter out(buf, len);
  char piece[8];
  unsigned tens = v.majorRev >> 4, units = v.majorRev & 0x0F;
  unsigned minor = v.minorAndBugRev >> 4, fix = v.minorAndBugRev & 0x0F;
  if (tens >= 1 && tens <= 9) {
    std::snprintf(piece, sizeof piece, "%u", tens);
    out.Add(piece);
  }
  std::snprintf(piece, sizeof piece, "%u", units);
  out.Add(piece);
  out.Add(".");
  std::snprintf(piece, sizeof piece, "%u", minor);
  out.Add(piece);
  if (fix >= 1 && fix <= 9) {
    std::snprintf(piece, sizeof piece, ".%u", fix);
    out.Add(piece);
  }
  if (v.stage != finalStage) {
    if (spaceBeforeStage) out.Add(" ");
    switch (v.stage) {
      case developStage: out.Add("d"); break;
      case alphaStage: out.Add("a"); break;
      case betaStage: out.Add("b"); break;
      default: out.Add("?"); break;
    }
    std::snprintf(piece, sizeof piece, "%u", static_cast<unsigned>(v.nonRelRev));
    out.Add(piece);
  }
  out.Finish();
}

Boolean ConvertStringToNumVersion(const char* text, NumVersion* v) {
  if (text == nullptr || v == nullptr) return false;
  const char* p = text;
  if (!IsDigit(*p)) return false;
  unsigned major = static_cast<unsigned>(*p++ - '0');
  if (IsDigit(*p)) major = (major << 4) | static_cast<unsigned>(*p++ - '0');
  if (*p++ != '.') return false;
  if (!IsDigit(*p)) return false;
  unsigned minor = static_cast<unsigned>(*p++ - '0');
  if (IsDigit(*p)) return false;
  unsigned fix = 0;
  if (*p == '.') {
    ++p;
    if (!IsDigit(*p)) return false;
    fix = static_cast<unsigned>(*p++ - '0');
    if (IsDigit(*p)) return false;
  }
  if (*p == ' ') ++p;

  uint8_t stage = finalStage;
  unsigned revision = 0;
  switch (*p) {
    case '\0':
      break;
    case 'd': case 'a': case 'b': {
      stage = *p == 'd' ? developStage : *p == 'a' ? alphaStage : betaStage;
      ++p;
      int digits = 0;
      while (IsDigit(*p) && digits < 3) {
        revision = revision * 10 + static_cast<unsigned>(*p++ - '0');
        ++digits;
      }
      if (digits == 0 || *p != '\0' || revision > 255) return false;
      break;
    }
    default:
      // A digit ends the parse as a final version; anything else is not a version.
      if (!IsDigit(*p)) return false;
      break;
  }
  v->majorRev = static_cast<uint8_t>(major);
  v->minorAndBugRev = static_cast<uint8_t>((minor << 4) | fix);
  v->stage = stage;
  v->nonRelRev = static_cast<uint8_t>(revision);
  return true;
}
