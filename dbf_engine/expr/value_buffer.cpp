// The typed value buffer.
#include "dbf_engine/expr/value_buffer.h"

#include <cmath>
#include <cstring>

#include "dbf_engine/code_pages.h"
#include "dbf_engine/dates.h"
#include "dbf_engine/messages.h"
#include "platform/numbers.h"
#include "platform/text.h"

TcvVariant::TcvVariant(uint16_t capacity) {
  if (capacity > 0) {
    buffer_ = std::make_unique<uint8_t[]>(capacity);
    capacity_ = capacity;
  }
}

TcvVariant::TcvVariant(TcvVariant&& other) noexcept
    : buffer_(std::move(other.buffer_)), capacity_(other.capacity_), length_(other.length_), kind_(other.kind_) {
  other.Clear();
}

TcvVariant& TcvVariant::operator=(TcvVariant&& other) noexcept {
  if (this != &other) {
    buffer_ = std::move(other.buffer_);
    capacity_ = other.capacity_;
    length_ = other.length_;
    kind_ = other.kind_;
    other.Clear();
  }
  return *this;
}

void TcvVariant::Clear() {
  buffer_.reset();
  capacity_ = 0;
  length_ = 0;
  kind_ = cvvtUnknown;
}

bool TcvVariant::Assign(const TcvVariant* source) {
  Clear();
  if (!source) return false;
  if (source->capacity_ > 0 && source->buffer_) {
    auto block = std::make_unique<uint8_t[]>(static_cast<size_t>(source->capacity_));
    std::memcpy(block.get(), source->buffer_.get(), static_cast<size_t>(source->capacity_));
    buffer_ = std::move(block);
    capacity_ = source->capacity_;
  }
  length_ = source->length_;
  kind_ = source->kind_;
  return true;
}

void TcvVariant::CheckBuffer(int32_t n) {
  if (n < 0) n = 0;
  if (capacity_ < n || (!buffer_ && n > 0)) {
    auto block = std::make_unique<uint8_t[]>(static_cast<size_t>(n));
    if (buffer_ && capacity_ > 0) std::memcpy(block.get(), buffer_.get(), static_cast<size_t>(capacity_));
    buffer_ = std::move(block);
    capacity_ = n;
  }
  length_ = n;
}

void TcvVariant::PutString(std::string_view s) {
  CheckBuffer(static_cast<int32_t>(s.size()));
  if (!s.empty()) std::memcpy(buffer_.get(), s.data(), s.size());
  kind_ = cvvtText;
}

void TcvVariant::PutPChar(const char* p) { PutString(p ? std::string_view(p) : std::string_view()); }

void TcvVariant::PutFloat(double x) {
  CheckBuffer(8);
  std::memcpy(buffer_.get(), &x, 8);
  kind_ = cvvtFloat;
}

void TcvVariant::PutDate(int32_t julian) {
  CheckBuffer(4);
  std::memcpy(buffer_.get(), &julian, 4);
  kind_ = cvvtDate;
}

void TcvVariant::PutBoolean(bool b) {
  CheckBuffer(1);
  buffer_[0] = b ? 1 : 0;
  kind_ = cvvtBoolean;
}

void TcvVariant::PutBinary(const void* p, int32_t n) {
  if (!p || n < 0) n = 0;
  CheckBuffer(n);
  if (n > 0) std::memcpy(buffer_.get(), p, static_cast<size_t>(n));
  kind_ = cvvtBinary;
}

void TcvVariant::Append(const void* p, int32_t n) {
  // p may point into our own buffer: copy before the buffer moves
  std::string copy(static_cast<const char*>(p), static_cast<size_t>(n));
  int32_t old = length_;
  CheckBuffer(old + n);
  std::memcpy(buffer_.get() + old, copy.data(), copy.size());
}

void TcvVariant::AppendString(std::string_view s) {
  if (s.empty()) return;
  if (kind_ != cvvtText && kind_ != cvvtBinary) cvRaise(cvErrVariantAppend);
  Append(s.data(), static_cast<int32_t>(s.size()));
  kind_ = cvvtText;
}

void TcvVariant::AppendPChar(const char* p) {
  if (!p) return;
  AppendString(std::string_view(p));
}

void TcvVariant::AppendBinary(const void* p, int32_t n) {
  if (!p || n <= 0) return;
  Append(p, n);
  kind_ = cvvtBinary;
}

void TcvVariant::ReadZeroFilled(void* dest, int32_t n) const {
  std::memset(dest, 0, static_cast<size_t>(n));
  int32_t have = length_ < n ? length_ : n;
  if (have > 0 && buffer_) std::memcpy(dest, buffer_.get(), static_cast<size_t>(have));
}

std::string TcvVariant::GetString() const {
  if (IsEmpty()) return {};
  switch (kind_) {
    case cvvtText:
    case cvvtBinary: return std::string(Bytes());
    case cvvtFloat: {
      double x;
      ReadZeroFilled(&x, 8);
      return FloatToStr(x);
    }
    case cvvtDate: {
      int32_t d;
      ReadZeroFilled(&d, 4);
      return DTOC(d);
    }
    case cvvtBoolean: return std::string(1, buffer_[0] ? LogicalTrue[0] : LogicalFalse[0]);
    default: return {};
  }
}

char* TcvVariant::GetPChar(char* dest, size_t size) const {
  if (!dest || size == 0) return dest;
  std::string s = GetString();
  size_t n = s.size() < size - 1 ? s.size() : size - 1;
  std::memcpy(dest, s.data(), n);
  dest[n] = '\0';
  return dest;
}

double TcvVariant::GetFloat() const {
  if (IsEmpty()) return 0;
  switch (kind_) {
    case cvvtText: return static_cast<double>(StrToFloat(GetString()));
    case cvvtFloat:
    case cvvtBinary: {
      double x;
      ReadZeroFilled(&x, 8);
      return x;
    }
    case cvvtDate: {
      int32_t d;
      ReadZeroFilled(&d, 4);
      return d;
    }
    case cvvtBoolean: return buffer_[0] ? 1.0 : 0.0;
    default: return 0;
  }
}

int32_t TcvVariant::GetDate() const {
  if (IsEmpty()) return 0;
  switch (kind_) {
    case cvvtText: return CTOD(GetString());
    case cvvtFloat: {
      double x;
      ReadZeroFilled(&x, 8);
      // a value that is no day number at all (NaN, huge) is no date
      if (!(x > -2147483648.0 && x < 2147483648.0)) return 0;
      return static_cast<int32_t>(std::trunc(x));
    }
    case cvvtDate:
    case cvvtBinary: {
      int32_t d;
      ReadZeroFilled(&d, 4);
      return d;
    }
    default: return 0;
  }
}

bool TcvVariant::GetBoolean() const {
  if (IsEmpty()) return false;
  switch (kind_) {
    case cvvtText: return std::strchr(LogicalTrue, static_cast<char>(buffer_[0])) != nullptr && buffer_[0] != 0;
    case cvvtFloat: {
      double x;
      ReadZeroFilled(&x, 8);
      return std::trunc(x) != 0;
    }
    case cvvtBoolean:
    case cvvtBinary: return buffer_[0] != 0;
    default: return false;
  }
}

const void* TcvVariant::GetBinary(void* dest, int32_t max) const {
  if (IsEmpty()) return nullptr;
  int32_t n = max < length_ ? max : length_;
  if (n > 0 && dest) std::memcpy(dest, buffer_.get(), static_cast<size_t>(n));
  return dest;
}

void TcvVariant::UpperCase() { PutString(AnsiUpperCase(GetString())); }

void TcvVariant::LowerCase() { PutString(AnsiLowerCase(GetString())); }

void TcvVariant::PadR(int32_t n) {
  if (kind_ != cvvtText || n <= length_) return;
  int32_t old = length_;
  CheckBuffer(n);
  std::memset(buffer_.get() + old, ' ', static_cast<size_t>(n - old));
}

void TcvVariant::PadL(int32_t n) {
  if (kind_ != cvvtText || n <= length_) return;
  int32_t old = length_;
  CheckBuffer(n);
  if (old > 0) std::memmove(buffer_.get() + (n - old), buffer_.get(), static_cast<size_t>(old));
  std::memset(buffer_.get(), ' ', static_cast<size_t>(n - old));
}

void TcvVariant::TrimR() {
  if (kind_ != cvvtText) return;
  while (length_ > 0 && buffer_[static_cast<size_t>(length_ - 1)] == ' ') --length_;
}

void TcvVariant::TrimL() {
  if (kind_ != cvvtText || length_ == 0) return;
  int32_t lead = 0;
  while (lead < length_ && buffer_[static_cast<size_t>(lead)] == ' ') ++lead;
  if (lead == 0) return;
  std::memmove(buffer_.get(), buffer_.get() + lead, static_cast<size_t>(length_ - lead));
  length_ -= lead;
}

namespace {

int Sign3(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

}  // namespace

int TcvVariant::CompareAs(TcvVariantType this_kind, const TcvVariant* other, TcvVariantType other_kind, int32_t& pos,
                          const unsigned char* collate, int32_t partial) const {
  pos = 0;
  if (this_kind == cvvtUnknown) return (!other || other->IsEmpty()) ? 0 : -1;
  if (!other) return 1;
  TcvVariantType kind = this_kind;
  if (this_kind != other_kind) {
    if (this_kind == cvvtBinary) kind = other_kind;
    else if (other_kind != cvvtBinary) cvRaise(cvErrVariantTypes);
  }
  bool this_empty = IsEmpty(), other_empty = other->IsEmpty();
  if (this_empty || other_empty) {
    if (this_empty && other_empty) return 0;
    return this_empty ? -1 : 1;
  }
  switch (kind) {
    case cvvtText:
    case cvvtBinary: {
      // Two binary values compare as raw bytes without collation or the
      // partial rule; a text (even against a binary side) uses both.
      bool text = kind == cvvtText;
      const uint8_t* a = buffer_.get();
      const uint8_t* b = other->buffer_.get();
      int32_t la = length_, lb = other->length_;
      int32_t n = la < lb ? la : lb;
      for (int32_t i = 0; i < n; ++i) {
        ++pos;
        unsigned ca = a[i], cb = b[i];
        if (text && collate) {
          ca = collate[ca];
          cb = collate[cb];
        }
        if (ca != cb) return ca < cb ? -1 : 1;
      }
      pos = n + 1;
      if (la == lb) return 0;
      if (la < lb) return (text && pos > la) ? Sign3(partial) : -1;
      return 1;
    }
    case cvvtFloat: {
      double x, y;
      ReadZeroFilled(&x, 8);
      other->ReadZeroFilled(&y, 8);
      return x < y ? -1 : (x > y ? 1 : 0);
    }
    case cvvtDate: {
      int32_t x, y;
      ReadZeroFilled(&x, 4);
      other->ReadZeroFilled(&y, 4);
      return x < y ? -1 : (x > y ? 1 : 0);
    }
    case cvvtBoolean: {
      uint8_t x = buffer_[0], y = other->buffer_[0];
      if (x == y) return 0;
      return x != 0 ? 1 : -1;
    }
    default: return 0;
  }
}

int TcvVariant::Compare(const TcvVariant* other, int32_t& pos, const unsigned char* collate, int32_t partial) const {
  return CompareAs(kind_, other, other ? other->kind_ : cvvtUnknown, pos, collate, partial);
}

int TcvVariant::CompareBin(const TcvVariant* other, int32_t& pos, const unsigned char* collate, int32_t partial) const {
  auto as_bin = [](TcvVariantType k) { return k == cvvtFloat ? cvvtBinary : k; };
  return CompareAs(as_bin(kind_), other, other ? as_bin(other->kind_) : cvvtUnknown, pos, collate, partial);
}
