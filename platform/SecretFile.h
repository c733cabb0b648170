#pragma once
// A secret (a refresh token) kept in a file of its own beside the settings,
// where no keyring is at hand: readable by its owner only, and replaced whole
// so that a crash never leaves half a token.
//
// Errors: ReadSecretFile returns "" when the file does not exist and raises
// EFOpenError "Cannot read <path>: <reason>" when it cannot be read, or
// "<path> can be read by other users: chmod 600 it" when its mode lets
// others read it (the secret is then not used). WriteSecretFile raises what
// ReplaceFileAtomically raises. The secret is never part of a text.
#include <string>

std::string ReadSecretFile(const std::string& path);
void WriteSecretFile(const std::string& path, const std::string& secret);
