// The durable ceiling of a file system: what a program that stores files one by one as safely
// as our receiver does (write, fsync, rename, fsync of the folder) can reach, with no network
// and no DICOM. The benchmark's reference for the receiver on the same disk. With PACE, each
// thread first waits that many microseconds per file, idle, as a receiver waits for its next
// image to arrive: what the disk gives a writer whose flushes come spaced by the network.
//   durable_ceiling DIR BYTES COUNT THREADS [PACE]     prints the seconds it took
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

bool store(const std::string &dir, int dirFd, const std::vector<char> &data, long n, long paceMicroseconds)
{
    if (paceMicroseconds > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(paceMicroseconds));
    const std::string temp = dir + "/.ceiling-" + std::to_string(n) + ".part";
    const std::string name = dir + "/" + std::to_string(n) + ".dcm";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t w = ::write(fd, data.data() + done, data.size() - done);
        if (w <= 0) {
            ::close(fd);
            return false;
        }
        done += size_t(w);
    }
    return ::fsync(fd) == 0 && ::close(fd) == 0 && ::rename(temp.c_str(), name.c_str()) == 0 && ::fsync(dirFd) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: durable_ceiling DIR BYTES COUNT THREADS [PACE]\n");
        return 2;
    }
    const std::string dir = argv[1];
    const std::vector<char> data(size_t(std::atoll(argv[2])), 'x');
    const long count = std::atol(argv[3]);
    const int threads = std::atoi(argv[4]);
    const long pace = argc == 6 ? std::atol(argv[5]) : 0;
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0 || threads < 1)
        return 1;
    std::atomic<long> next{0};
    std::atomic<bool> failed{false};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (long n; (n = next++) < count;)
                if (!store(dir, dirFd, data, n, pace))
                    failed = true;
        });
    for (auto &w : workers)
        w.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (failed)
        return 1;
    std::printf("%.6f\n", seconds);
    return 0;
}
