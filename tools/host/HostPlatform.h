#pragma once

// What the host program does differently on each system; one source file per system.

#include <string>

namespace tallowmer::host {

// Every text this program prints is UTF-8.
void PrepareConsole();

// For this process and the driver it loads.
void SetProcessVariable(const std::string& name, const std::string& value);

// Why the dialog could not be shown, when the reason is that there is no terminal; empty otherwise.
std::string MissingTerminal();

// The settings hold the token: the file is for its owner's eyes only, also when it existed before.
void WritePrivateFile(const std::string& path, const std::string& text);

// Standard output redirected into a file that others may read is made its owner's only, as the
// settings printed there hold the token.
void ProtectRedirectedOutput();

}  // namespace tallowmer::host
