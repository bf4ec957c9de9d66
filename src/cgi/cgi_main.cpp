// cgi_quorvane: the admin pages' CGI program. It answers on standard output; the server
// returns that text to the browser.

#include "cgi/cgi_commands.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

int main()
{
    // The gateway sends standard error to the browser too: the helpers' log lines stay out
    // of the page.
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (quiet >= 0) {
        dup2(quiet, STDERR_FILENO);
        close(quiet);
    }
    std::string out;
    const auto write_out = [](std::string& answer) {
        std::fwrite(answer.data(), 1, answer.size(), stdout);
        answer.clear();
    };
    const int code = RunAdminProgram(std::getenv("QUERY_STRING"), std::getenv("QUORVANE_STRING"), out, write_out);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    return code;
}
