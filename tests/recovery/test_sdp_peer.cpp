// The stand-in SDP ROM checked from outside: an independent host tool (imx_uart, from Debian's
// imx-usb-loader package) loads an image into it, and the stand-in as a program (kv_sim_imx)
// takes a loader from the client and tells of the jump.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sdp_test_support.h"

namespace {

using namespace sdptest;

constexpr int kPeerTimeoutMs = 30000;   // ms the peer tool may take for a small image
constexpr int kReadyTimeoutMs = 10000;  // ms for the program's first line
constexpr int kStopTimeoutMs = 10000;   // ms for the program to end after SIGTERM
constexpr uint32_t kIvtOffset = 0x400;  // where the image's header sits in the file
const char kPeerTool[] = "/usr/bin/imx_uart";

void PutLittleEndian(Bytes& out, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A bootable image for the peer tool: an image vector table at 0x400 naming the entry point
// and boot data (load address and size) that covers the whole file.
Bytes BootImage(size_t size, uint32_t loadAddress)
{
    Bytes image = Pattern(size, 11);
    std::fill(image.begin() + kIvtOffset, image.begin() + kIvtOffset + 0x40, 0);
    const uint32_t ivt = loadAddress + kIvtOffset;
    image[kIvtOffset + 0] = 0xD1;  // header tag, big-endian length 0x20, version
    image[kIvtOffset + 1] = 0x00;
    image[kIvtOffset + 2] = 0x20;
    image[kIvtOffset + 3] = 0x41;
    PutLittleEndian(image, kIvtOffset + 4, ivt + 0x100);   // entry
    PutLittleEndian(image, kIvtOffset + 16, ivt + 0x20);   // boot data
    PutLittleEndian(image, kIvtOffset + 20, ivt);          // self
    PutLittleEndian(image, kIvtOffset + 0x20, loadAddress);
    PutLittleEndian(image, kIvtOffset + 0x24, static_cast<uint32_t>(size));
    return image;
}

void WriteFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST(SdpPeerTool, LoadsAnImageIntoTheStandInAndJumpsToIt)
{
    if (access(kPeerTool, X_OK) != 0)
        GTEST_SKIP() << "imx_uart is not installed (Debian package imx-usb-loader; scripts/deps.sh installs it)";

    TempDir dir;
    const std::string config = dir.file("sim.conf");
    std::ofstream(config) << "sim\nhid,1024,0x20000000,0x20000000,512K\n";
    const Bytes image = BootImage(6 * 1024 + 100, 0x20000000);
    const std::string imagePath = dir.file("loader.imx");
    WriteFile(imagePath, image);

    PtyPair pty;
    kvsim::ImxSdpSerialServer chip(pty.master());
    // Once started, the loaded code speaks on the line; the tool reads that after its jump.
    const int master = pty.master();
    chip.setJumpHook([master](uint32_t) {
        const char hello[] = "loader up\r\n";
        (void)!::write(master, hello, sizeof hello - 1);
    });
    ASSERT_TRUE(chip.start());

    // -n: a pty has no RTS/CTS lines.
    const RunResult run = RunProgram({kPeerTool, "-n", pty.slaveName(), config, imagePath}, {}, kPeerTimeoutMs);
    EXPECT_TRUE(run.exitedWith(0)) << run.out << run.err;
    // The tool's own verdict on the write: the ROM's HAB mode and completion status.
    EXPECT_NE(run.out.find("succeeded (security 0x56787856, status 0x88888888)"), std::string::npos) << run.out;
    EXPECT_GE(chip.associations(), 1);
    const auto loads = chip.loads();
    ASSERT_EQ(loads.size(), 1u) << run.out << run.err;
    EXPECT_EQ(loads[0].address, 0x20000000u);
    EXPECT_EQ(loads[0].bytes, image);
    EXPECT_TRUE(chip.jumped());
    EXPECT_EQ(chip.jumpAddress(), 0x20000000u + kIvtOffset);
}

// The program running in the background with its standard output on a pipe.
class SimImxProgram {
public:
    explicit SimImxProgram(const std::vector<std::string>& arguments)
    {
        int pipeEnds[2];
        if (pipe2(pipeEnds, O_CLOEXEC) != 0)
            return;
        std::vector<std::string> argv = {KV_SIM_IMX_BINARY};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        pid_ = fork();
        if (pid_ == 0) {
            dup2(pipeEnds[1], STDOUT_FILENO);
            std::vector<char*> cArgs;
            for (std::string& a : argv)
                cArgs.push_back(a.data());
            cArgs.push_back(nullptr);
            execv(cArgs[0], cArgs.data());
            _exit(127);
        }
        close(pipeEnds[1]);
        out_ = pipeEnds[0];
    }
    ~SimImxProgram()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }
    SimImxProgram(const SimImxProgram&) = delete;
    SimImxProgram& operator=(const SimImxProgram&) = delete;

    // The next line of its output, without the line end; empty after the time-out.
    std::string line(int timeoutMs)
    {
        const Clock::time_point start = Clock::now();
        while (buffer_.find('\n') == std::string::npos && MsSince(start) < timeoutMs) {
            pollfd fd = {out_, POLLIN, 0};
            if (poll(&fd, 1, 50) <= 0)
                continue;
            char chunk[256];
            const ssize_t got = read(out_, chunk, sizeof chunk);
            if (got <= 0)
                break;
            buffer_.append(chunk, static_cast<size_t>(got));
        }
        const size_t end = buffer_.find('\n');
        if (end == std::string::npos)
            return std::string();
        const std::string text = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return text;
    }
    // Stops it with SIGTERM; its exit status, or -1 when it did not end in time.
    int stop()
    {
        kill(pid_, SIGTERM);
        const Clock::time_point start = Clock::now();
        int status = 0;
        while (MsSince(start) < kStopTimeoutMs) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            usleep(10000);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

TEST(SdpSimProgram, HelpListsEveryKnobAndBadOptionsAreRefused)
{
    const RunResult help = RunProgram({KV_SIM_IMX_BINARY, "--help"});
    ASSERT_TRUE(help.exitedWith(0));
    for (const char* knob : {"--silent", "--silent-after", "--complete-status", "--delay-ms", "--stray-after",
                             "--stray", "--accept-limit", "--baud-pace", "--register", "--dump"})
        EXPECT_NE(help.out.find(knob), std::string::npos) << knob;
    EXPECT_TRUE(RunProgram({KV_SIM_IMX_BINARY, "--delay-ms"}).exitedWith(2));
    EXPECT_TRUE(RunProgram({KV_SIM_IMX_BINARY, "--stray", "ABC"}).exitedWith(2));
    EXPECT_TRUE(RunProgram({KV_SIM_IMX_BINARY, "--register", "0x10"}).exitedWith(2));
}

TEST(SdpSimProgram, TakesALoaderFromTheClientTellsOfTheJumpAndDumpsTheImage)
{
    TempDir dir;
    const std::string dump = dir.file("image.bin");
    SimImxProgram chip({"--dump", dump, "--register", "0x401F4410=0x44332211", "--register",
                        "0x401F4420=0x88776655"});
    const std::string ready = chip.line(kReadyTimeoutMs);
    ASSERT_EQ(ready.rfind("PTY ", 0), 0u) << ready;
    const std::string port = ready.substr(4);

    const Bytes image = Pattern(3000, 5);
    {
        SDPLoader client;
        ASSERT_TRUE(client.setLoader(new Serial_SDPLoader(port.c_str())));
        ASSERT_EQ(client.init(), SDP_SUCCESS);
        uint64_t fingerprint = 0;
        ASSERT_EQ(client.getFingerprint(fingerprint), SDP_SUCCESS);
        EXPECT_EQ(fingerprint, 0x8877665544332211ull);
        ASSERT_EQ(client.writeLoader(image, 0x20002000), SDP_SUCCESS);
        client.startLoader(0x20002400);
    }
    EXPECT_EQ(chip.line(kReadyTimeoutMs), "JUMPED 0x20002400");
    EXPECT_EQ(chip.stop(), 0);
    EXPECT_EQ(chip.line(kReadyTimeoutMs), "LOADED 0x20002000 3000");
    EXPECT_EQ(chip.line(kReadyTimeoutMs), "DUMPED " + dump);
    std::ifstream in(dump, std::ios::binary);
    const Bytes dumped((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(dumped, image);
}

} // namespace
