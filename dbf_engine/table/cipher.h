// The table cipher.
//
// A table with a password stores its records, its field-descriptor area, its
// memo data and its index pages transformed by a keyed byte stream:
//
//   destination[i] = source[i] XOR (key[i mod keylength] OR (i AND 0xFF))
//
// The stream restarts at i = 0 and the key's first character on every call,
// so the unit of one call is part of the file format: one record image, the
// whole descriptor area, one memo's data, or one index piece of at most 512
// bytes.  The transformation is its own inverse; an empty key copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Transforms `length` bytes of `source` into `destination` (they may be the
// same buffer).  Returns 0 for an empty key (a plain copy), else -1 when
// `direction` is 0 (deciphering) and 1 otherwise (enciphering); both
// directions compute the same bytes.
int Encryption(const std::string& key, const void* source, void* destination, size_t length, int direction);

// The table file's entry to the cipher; same arguments and result.
int DBEncryption(const std::string& key, const void* source, void* destination, size_t length, int direction);
