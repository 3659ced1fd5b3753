#include "httprequest.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// Any bytes: the head is bounded, a complete one is well formed, and what follows the head
// changes nothing of it.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    HttpRequest request;
    const HttpRequest::State state = request.parse(bytes);
    if (state == HttpRequest::State::TooLarge && size < size_t(HttpRequest::MaxSize))
        abort();
    if (state != HttpRequest::State::Complete)
        return 0;
    if (request.method().isEmpty() || !request.path().startsWith('/')
        || request.path().contains('?') || request.header("host").contains('\r'))
        abort();
    HttpRequest longer;
    if (longer.parse(bytes + bytes) != HttpRequest::State::Complete
        || longer.method() != request.method() || longer.path() != request.path()
        || longer.header("Host") != request.header("Host"))
        abort();
    return 0;
}
