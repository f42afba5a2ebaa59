#include "app/ProcessSetup.h"

#include <csignal>
#include <sys/resource.h>

void prepareProcess()
{
    std::signal(SIGPIPE, SIG_IGN);
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
}
