// The harness: temporary directories and files, a file size limit, a
// small file system.
#include "harness.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kit {

using clock = std::chrono::steady_clock;
temp_dir::temp_dir()
{
    char templ[] = "/tmp/kit-test-XXXXXX";
    if (mkdtemp(templ) == nullptr)
        throw std::runtime_error("mkdtemp");
    path = templ;
}

temp_dir::~temp_dir()
{
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

void in_temp_dir::SetUp()
{
    char* here = getcwd(nullptr, 0);
    old_ = here;
    free(here);
    ASSERT_EQ(chdir(dir_.path.c_str()), 0);
}

void in_temp_dir::TearDown() { EXPECT_EQ(chdir(old_.c_str()), 0); }

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string wait_file(const std::string& path, std::size_t size, milliseconds timeout)
{
    auto end = clock::now() + timeout;
    std::string text = read_file(path);
    while (text.size() < size && clock::now() < end) {
        std::this_thread::sleep_for(milliseconds(10));
        text = read_file(path);
    }
    return text;
}

file_size_limit::file_size_limit(unsigned long bytes) : ignored_(std::signal(SIGXFSZ, SIG_IGN))
{
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    old_cur_ = old.rlim_cur;
    old_max_ = old.rlim_max;
    struct rlimit small = {bytes, old.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
}

file_size_limit::~file_size_limit()
{
    struct rlimit old = {old_cur_, old_max_};
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, ignored_);
}

small_disk::small_disk(const std::string& d, int kib) : dir(d)
{
    mkdir(dir.c_str(), 0755);
    if (geteuid() != 0)
        return;
    // The mount is seen by this process and the programs it starts only.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return;
    std::string size = "size=" + std::to_string(kib) + "k,mode=0755";
    ok = mount("kit-small", dir.c_str(), "tmpfs", 0, size.c_str()) == 0;
}

small_disk::~small_disk()
{
    if (ok)
        umount2(dir.c_str(), MNT_DETACH);
}

} // namespace kit
