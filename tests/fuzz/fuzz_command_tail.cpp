// The command-tail rule over any bytes and any lead-byte table.
#include <stdint.h>
#include <string.h>

#include <string>

#include "launch/command_tail.h"
#include "tests/fake/fake_windows.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 32)
        return 0;
    fake::Reset();
    for (int byte = 0; byte < 256; ++byte) {
        if (data[byte / 8] & (1 << (byte % 8)))
            fake::state.leadBytes.insert(static_cast<unsigned char>(byte));
    }
    std::string line(reinterpret_cast<const char*>(data + 32), size - 32);
    line = line.c_str();  // the process command line ends at its first zero byte

    const char* tail = DeriveCommandTail(line.c_str());
    size_t offset = static_cast<size_t>(tail - line.c_str());
    FUZZ_CHECK(offset <= line.size());
    // The tail never starts with a blank or control byte.
    FUZZ_CHECK(*tail == '\0' || static_cast<unsigned char>(*tail) > 0x20);
    // A line that does not start with a quote has a name of bytes above 0x20 only.
    if (!line.empty() && line[0] != '"') {
        for (size_t i = 0; i < offset; ++i) {
            if (static_cast<unsigned char>(line[i]) <= 0x20) {
                for (size_t j = i; j < offset; ++j)
                    FUZZ_CHECK(static_cast<unsigned char>(line[j]) <= 0x20);
                break;
            }
        }
    }
    return 0;
}
