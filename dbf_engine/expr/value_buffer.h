// The engine's typed value buffer, `TcvVariant`.
//
// Index keys, search key values and expression results travel in it and are
// compared through it.  It is a heap block with a capacity, a length in use
// and a kind:
//
//   kind           stored form
//   cvvtText       the characters, no terminator
//   cvvtFloat      an 8-byte IEEE double (host order)
//   cvvtDate       a 32-bit Julian day number (host order)
//   cvvtBoolean    one byte, 0 false, anything else true
//   cvvtBinary     raw bytes
//
// A value is empty when its length is 0.  The buffer is reused across keys:
// it grows only when too small and never shrinks before `Clear`.  A float or
// date read from a shorter buffer (a binary value of a few bytes) takes the
// missing bytes as zero; nothing is ever read beyond the length in use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

enum TcvVariantType : uint8_t {
  cvvtUnknown = 0,
  cvvtText = 1,
  cvvtFloat = 2,
  cvvtDate = 3,
  cvvtBoolean = 4,
  cvvtBinary = 5,
};

class TcvVariant {
public:
  explicit TcvVariant(uint16_t capacity = 0);
  ~TcvVariant() = default;
  TcvVariant(const TcvVariant&) = delete;  // copy with Assign
  TcvVariant& operator=(const TcvVariant&) = delete;
  // A moved-from value is cleared.
  TcvVariant(TcvVariant&& other) noexcept;
  TcvVariant& operator=(TcvVariant&& other) noexcept;

  // Frees the buffer: capacity, length and kind 0.
  void Clear();
  // A copy of the source's whole buffer, capacity, length and kind; false
  // (and cleared) for a null source.
  bool Assign(const TcvVariant* source);
  // Room for n bytes, length n; the kind stays.
  void CheckBuffer(int32_t n);

  void PutString(std::string_view s);
  void PutPChar(const char* p);  // zero-terminated; null is the empty text
  void PutFloat(double x);
  void PutDate(int32_t julian);
  void PutBoolean(bool b);
  void PutBinary(const void* p, int32_t n);

  // Append to a text or binary value (the kind becomes text); another kind
  // raises ECorvidError "Variant type is not valid for append".  An empty
  // source does nothing.
  void AppendString(std::string_view s);
  void AppendPChar(const char* p);
  // Appends raw bytes whatever the kind; the kind becomes binary.
  void AppendBinary(const void* p, int32_t n);

  // Text of any kind: text and binary as they are, a float in the general
  // format, a date by DTOC, a boolean as T or F; empty or unknown -> "".
  std::string GetString() const;
  // The same text into `dest` (at most size - 1 bytes and a zero byte).
  char* GetPChar(char* dest, size_t size) const;
  // Text by StrToFloat (EConvertError on bad text); float and binary as the
  // first 8 bytes; a date's day; a boolean as 1 or 0; empty/unknown 0.
  double GetFloat() const;
  // Text by CTOD; a float's integer part (0 when it is no day number); date
  // and binary as the first 4 bytes; other kinds 0.
  int32_t GetDate() const;
  // Text: first character one of the true letters; float: integer part not
  // 0; boolean and binary: first byte not 0; others false.
  bool GetBoolean() const;
  // Copies min(max, length) bytes; null when empty.
  const void* GetBinary(void* dest, int32_t max) const;

  // Locale case change; any kind becomes text.
  void UpperCase();
  void LowerCase();
  // Text only: widen with blanks at the end (PadR) or the front (PadL);
  // never shortens.
  void PadR(int32_t n);
  void PadL(int32_t n);
  // Text only: drop trailing (TrimR) or leading (TrimL) blanks.
  void TrimR();
  void TrimL();

  // -1, 0 or 1; pos receives the 1-based position of the first differing
  // byte of a text compare (or the shorter length + 1).  A text that is a
  // proper prefix of other gives `partial` instead of -1.  `collate` is a
  // 256-byte table applied to text bytes, or null.  Two different
  // non-binary kinds raise ECorvidError "Variant types mismatch for compare".
  int Compare(const TcvVariant* other, int32_t& pos, const unsigned char* collate, int32_t partial) const;
  // Compare with float values taken as their raw bytes.
  int CompareBin(const TcvVariant* other, int32_t& pos, const unsigned char* collate, int32_t partial) const;

  TcvVariantType Kind() const { return kind_; }
  void SetKind(TcvVariantType k) { kind_ = k; }
  int32_t Length() const { return length_; }
  int32_t Capacity() const { return capacity_; }
  bool IsEmpty() const { return !buffer_ || length_ == 0; }
  const uint8_t* Data() const { return buffer_.get(); }
  uint8_t* Data() { return buffer_.get(); }
  // The bytes in use as a string view.
  std::string_view Bytes() const {
    return buffer_ ? std::string_view(reinterpret_cast<const char*>(buffer_.get()), static_cast<size_t>(length_))
                   : std::string_view();
  }

private:
  int CompareAs(TcvVariantType this_kind, const TcvVariant* other, TcvVariantType other_kind, int32_t& pos,
                const unsigned char* collate, int32_t partial) const;
  // The first n bytes, the missing ones as zero.
  void ReadZeroFilled(void* dest, int32_t n) const;
  void Append(const void* p, int32_t n);

  std::unique_ptr<uint8_t[]> buffer_;
  int32_t capacity_ = 0;
  int32_t length_ = 0;
  TcvVariantType kind_ = cvvtUnknown;
};
