// Fuzz entry for the management texts: URL decoding, the request split and the parameter
// reader, the token and server handlers on a connection without a socket, the film fee file
// and the channel file as the editor reads it. The first byte picks the parser; the rest is
// its input.

#include "channels/channel_editing.h"
#include "net/connection.h"
#include "rest/rest_common.h"
#include "rest/server_rest.h"
#include "rest/token_service.h"
#include "users/movie_fee.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);   // may hold zero bytes
    switch (data[0] % 5) {
    case 0: (void)UrlDecode(text); break;
    case 1: {
        const RestText request = SplitRestText(text.c_str());
        std::string value;
        for (const char* name : {"token", "ch_no", "src", "password", "user"}) (void)RestParameter(request, name, value);
        break;
    }
    case 2: {
        PlayerConnection conn;                 // no socket: every answer is dropped
        TokenRestHandler(conn, text.data());
        ServerRestHandler(conn, text.data());
        break;
    }
    case 3: (void)ParseMovieFeeText(text); break;
    case 4: {
        std::string listing;
        (void)ListChannelDefinitionText(text, listing, (size & 1) != 0);
        break;
    }
    }
    return 0;
}
