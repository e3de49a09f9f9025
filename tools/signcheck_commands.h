// The commands of signcheck.exe. Each answers the process exit code.
#pragma once

#include <string>

// Verifies each file; 0 when every file got a verdict, else 1.
int RunVerify(int fileCount, wchar_t** files, bool json);
// Prints the image facts of each file; 0 when every file opened as an image, else 1.
int RunInfo(int fileCount, wchar_t** files, bool json);
// Prints this machine's identifier and its MD5; 0 when there is one, else 1.
int RunMachineId(bool json);

// Writes one line (UTF-8) to standard output.
void PrintLine(const std::string& utf8);
// The calling thread's error record as one line, UTF-8.
std::string ThreadErrorText();
// Lower-case hexadecimal.
std::string HexText(const unsigned char* bytes, unsigned length);
