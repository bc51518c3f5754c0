// A live demo: a pseudo-terminal plays the serial device, kolvd serves it on
// a free TCP port, a client on 127.0.0.1 talks to the device through it, and
// the log is shown; the server is then shut down with -S.
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

[[noreturn]] void
die(const char* what) {
    std::perror(what);
    std::exit(1);
}

std::string
shown(const std::string& bytes) {
    std::string s;
    for (const char c : bytes) {
        if (c == '\r')
            s += "\\r";
        else if (c == '\n')
            s += "\\n";
        else
            s += c;
    }
    return s;
}

int
run(const std::vector<std::string>& args) {
    std::printf("$");
    for (const auto& a : args)
        std::printf(" %s", a.c_str());
    std::printf("\n");
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

template <typename Pred>
bool
wait_for(Pred pred) {
    for (int i = 0; i < 300; ++i, std::this_thread::sleep_for(10ms))
        if (pred())
            return true;
    return false;
}

int
free_port() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        die("bind");
    close(s);
    return ntohs(a.sin_port);
}

std::string
read_some(int fd) {
    std::string got;
    char buf[256];
    wait_for([&] {
        const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0)
            got.append(buf, static_cast<std::size_t>(n));
        return !got.empty() && got.back() == '\n';
    });
    return got;
}

std::string
slurp(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

int
main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s path/to/kolvd\n", argv[0]);
        return 2;
    }
    const std::string kolvd = fs::absolute(argv[1]).string();
    int device = -1;
    int slave = -1;
    std::array<char, 128> name{};
    if (openpty(&device, &slave, name.data(), nullptr, nullptr) != 0)
        die("openpty");
    termios raw{};
    tcgetattr(device, &raw);
    cfmakeraw(&raw);
    tcsetattr(device, TCSANOW, &raw);

    std::string tmpl = (fs::temp_directory_path() / "kolvd-demo-XXXXXX").string();
    const fs::path dir = mkdtemp(tmpl.data());
    const fs::path locks = dir / "locks";
    fs::create_directories(locks / "LCK..pts"); // the lock of pts/N lies in LCK..pts/
    const fs::path log = dir / "kolvd.log";
    const std::string port = std::to_string(free_port());
    const fs::path lock = locks / ("LCK.." + std::string(name.data() + 5));

    std::printf("The serial device is the pseudo-terminal %s; this demo plays the device.\n\n",
                name.data());
    if (run({kolvd, "-b", "-L", locks.string(), "-f", log.string(), name.data(), port}) != 0 ||
        !wait_for([&] { return fs::exists(lock); }))
        return 1;
    close(slave);
    std::printf("kolvd is serving %s on TCP port %s, pid %s\n", name.data(), port.c_str(),
                slurp(lock).c_str() + slurp(lock).find_first_not_of(' '));

    const int client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        die("connect");
    wait_for([&] { return slurp(log).find("connects to") != std::string::npos; });

    const std::vector<std::pair<std::string, std::string>> talk{
        {"AT\r\n", "OK\r\n"}, {"MEAS:VOLT?\r\n", "+1.2345E+01\r\n"}};
    for (const auto& [ask, answer] : talk) {
        send(client, ask.data(), ask.size(), 0);
        std::string at_device;
        wait_for([&] {
            char buf[256];
            const ssize_t n = read(device, buf, sizeof buf);
            if (n > 0)
                at_device.append(buf, static_cast<std::size_t>(n));
            return at_device.size() >= ask.size();
        });
        std::printf("client -> device: %-16s device received: %s\n", shown(ask).c_str(),
                    shown(at_device).c_str());
        (void)!write(device, answer.data(), answer.size());
        std::printf("device -> client: %-16s client received: %s\n", shown(answer).c_str(),
                    shown(read_some(client)).c_str());
    }
    close(client);
    wait_for([&] { return slurp(log).find("disconnects") != std::string::npos; });

    std::printf("\n");
    run({kolvd, "-L", locks.string(), "-S", name.data()});
    wait_for([&] { return !fs::exists(lock); });
    std::printf("\nThe log, %s:\n%s", log.c_str(), slurp(log).c_str());
    close(device);
    fs::remove_all(dir);
    return 0;
}
