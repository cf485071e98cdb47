// The live stream: bytes as they come off the line, in chunks, through the
// filter and the tokenizer, as the stream loop feeds them.
#include "control/Protocol.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString buf, scale;
    size_t pos = 0;
    while (pos < size) {
        // The first byte of each chunk gives its length, as reads cut the stream anywhere.
        const size_t len = std::min<size_t>(size - pos, 1 + data[pos] % 32);
        buf += norvale::control::FilterLiveChars(
            QString::fromLatin1(reinterpret_cast<const char *>(data + pos), static_cast<qsizetype>(len)));
        pos += len;
        for (;;) {
            const qsizetype before = buf.size();
            const bool consumed = norvale::control::TokenizePass(buf, scale, [](double v) {
                if (v != v)
                    std::abort(); // a reading is never NaN
            });
            if (!consumed)
                break;
            if (buf.size() >= before)
                std::abort(); // every consuming pass must shrink the buffer
        }
    }
    return 0;
}
