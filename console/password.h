// Sealing of the supervisor password for the settings store: a reversible
// transformation with a fixed key, two hex digits per character.
#pragma once

extern const char PasswordKey[33];

/// Seals `plain` into `out` (room for 2 chars per input char + 1). 1.
int SealPassword(const char* plain, char* out);

/// Unseals `sealed` into `out` (room for half its length + 1). 1 or 0.
int UnsealPassword(const char* sealed, char* out);

/// Two hex digits to a byte. 1 or 0.
int HexPairToByte(const char* pair, unsigned char* out);
