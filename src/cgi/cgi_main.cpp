// cgi_quorvane: the admin pages' CGI program. It answers on standard output; the server
// returns that text to the browser.

#include <cstdio>
#include <cstdlib>

int main()
{
    const char* query = std::getenv("QUERY_STRING");
    if (query == nullptr) {
        std::fputs("NULL\n", stdout);
        return 0;
    }
    return 1;
}
