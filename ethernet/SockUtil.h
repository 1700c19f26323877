#pragma once
// Windows Sockets error numbers and their English texts, as every socket message
// of the utility shows them.

#include <cstdint>

class CSockUtil {
public:
    // Text for a Windows Sockets error number; "Unknown" for any number not listed.
    // The text lives as long as the program.
    static const char* ErrorText(int32_t nError);
};
