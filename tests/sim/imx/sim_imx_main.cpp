// kv_sim_imx: the stand-in i.MX ROM serial downloader as a program, on a pseudo-terminal of its
// own, for end-to-end tests and for trying a host program by hand.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_imx_serial.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
constexpr unsigned kStopPollUs = 20000;  // us between looks at the stop flag

volatile sig_atomic_t gStop = 0;
void onStopSignal(int)
{
    gStop = 1;
}

const char kHelp[] =
    "usage: kv_sim_imx [options]\n"
    "\n"
    "A stand-in i.MX ROM serial downloader (Serial Download Protocol, serial framing) on a\n"
    "pseudo-terminal. Prints \"PTY <slave path>\" once it listens and \"JUMPED 0x<address>\"\n"
    "the moment the host's JUMP_ADDRESS is taken; runs until SIGTERM or SIGINT, then prints\n"
    "\"LOADED 0x<address> <bytes>\" for every WRITE_FILE and, with --dump, writes the bytes of\n"
    "the last one to that file. A partial command followed by 200 ms of silence is dropped\n"
    "(a probe byte of another boot protocol on the same port does not upset the ROM).\n"
    "\n"
    "  --dump PATH            where the last loaded image goes at the end\n"
    "  --baud-pace BAUD       take and send bytes at BAUD (10 bits per byte) instead of at once\n"
    "  --hab-closed           answer the HAB mode 0x12343412 (closed) instead of 0x56787856\n"
    "  --error-status WORD    answer to ERROR_STATUS (default 0xF0F0F0F0)\n"
    "  --register ADDR=WORD   a word that READ_REGISTER gives at ADDR (repeatable)\n"
    "\n"
    "Fault knobs:\n"
    "  --silent               send nothing at all\n"
    "  --silent-after N       answer only the first N commands, then nothing\n"
    "  --complete-status WORD the status after WRITE_FILE data (default 0x88888888)\n"
    "  --delay-ms MS          send every answer MS milliseconds late\n"
    "  --stray-after N        after N data bytes of a WRITE_FILE, send an unsolicited\n"
    "                         error answer in the middle of the transfer\n"
    "  --stray HEX            send these bytes (hexadecimal pairs) before every answer\n"
    "  --accept-limit N       stop taking bytes from the host after N bytes\n";

bool parseUnsigned(const char* text, uint64_t* value)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != 0)
        return false;
    *value = number;
    return true;
}

bool parseWord(const char* text, uint32_t* word)
{
    uint64_t value = 0;
    if (!parseUnsigned(text, &value) || value > UINT32_MAX)
        return false;
    *word = static_cast<uint32_t>(value);
    return true;
}

bool parseHex(const char* text, kvsim::SdpBytes* bytes)
{
    const size_t length = strlen(text);
    if (length == 0 || length % 2 != 0)
        return false;
    bytes->clear();
    for (size_t i = 0; i < length; i += 2) {
        const std::string pair(text + i, 2);
        char* end = nullptr;
        const unsigned long value = strtoul(pair.c_str(), &end, 16);
        if (*end != 0)
            return false;
        bytes->push_back(static_cast<uint8_t>(value));
    }
    return true;
}

int usage(const char* problem)
{
    fprintf(stderr, "kv_sim_imx: %s\n\n%s", problem, kHelp);
    return kExitUsage;
}

} // namespace

int main(int argc, char** argv)
{
    kvsim::ImxSdpConfig config;
    std::string dumpPath;
    uint32_t paceBaud = 0;

    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        uint64_t number = 0;
        uint32_t word = 0;
        auto needs = [&](bool ok) {
            if (!ok)
                return false;
            ++i;
            return true;
        };
        if (option == "--help" || option == "-h") {
            fputs(kHelp, stdout);
            return 0;
        } else if (option == "--dump" && needs(value != nullptr)) {
            dumpPath = value;
        } else if (option == "--baud-pace" && needs(value && parseWord(value, &paceBaud) && paceBaud > 0)) {
        } else if (option == "--hab-closed") {
            config.habMode = kvsim::kSdpHabClosed;
        } else if (option == "--error-status" && needs(value && parseWord(value, &config.errorStatus))) {
        } else if (option == "--register" && needs(value && strchr(value, '=') &&
                                                   parseWord(strchr(value, '=') + 1, &word))) {
            uint32_t address = 0;
            if (!parseWord(std::string(value, strchr(value, '=')).c_str(), &address))
                return usage(("bad register address in " + std::string(value)).c_str());
            config.registers[address] = word;
        } else if (option == "--silent") {
            config.silent = true;
        } else if (option == "--silent-after" && needs(value && parseUnsigned(value, &number) && number <= INT64_MAX)) {
            config.silentAfter = static_cast<int64_t>(number);
        } else if (option == "--complete-status" && needs(value && parseWord(value, &config.completeStatus))) {
        } else if (option == "--delay-ms" && needs(value && parseWord(value, &config.answerDelayMs))) {
        } else if (option == "--stray-after" && needs(value && parseUnsigned(value, &number) && number <= INT64_MAX)) {
            config.strayAfterData = static_cast<int64_t>(number);
        } else if (option == "--stray" && needs(value && parseHex(value, &config.stray))) {
        } else if (option == "--accept-limit" && needs(value && parseUnsigned(value, &number) && number <= INT64_MAX)) {
            config.acceptLimit = static_cast<int64_t>(number);
        } else {
            return usage(("bad or incomplete option " + option).c_str());
        }
    }

    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        fprintf(stderr, "kv_sim_imx: cannot open a pseudo-terminal: %s\n", strerror(errno));
        return kExitFailure;
    }
    // The slave stays open here too, so the master never hangs up between two clients.
    termios raw;
    if (tcgetattr(slave, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
    }

    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    kvsim::ImxSdpSerialServer server(master, config, paceBaud);
    server.setJumpHook([](uint32_t address) {
        printf("JUMPED 0x%08X\n", address);
        fflush(stdout);
    });
    if (!server.start()) {
        fprintf(stderr, "kv_sim_imx: cannot start the chip's thread\n");
        return kExitFailure;
    }
    printf("PTY %s\n", name);
    fflush(stdout);

    while (!gStop)
        usleep(kStopPollUs);
    server.stop();

    int status = 0;
    const std::vector<kvsim::SdpLoad> loads = server.loads();
    for (const kvsim::SdpLoad& load : loads)
        printf("LOADED 0x%08X %zu\n", load.address, load.bytes.size());
    if (!dumpPath.empty()) {
        const kvsim::SdpBytes image = loads.empty() ? kvsim::SdpBytes() : loads.back().bytes;
        FILE* out = fopen(dumpPath.c_str(), "wb");
        bool written = out && fwrite(image.data(), 1, image.size(), out) == image.size();
        if (out && fclose(out) != 0)
            written = false;
        if (!written) {
            fprintf(stderr, "kv_sim_imx: cannot write the loaded image to %s\n", dumpPath.c_str());
            status = kExitFailure;
        } else {
            printf("DUMPED %s\n", dumpPath.c_str());
        }
    }
    close(slave);
    close(master);
    return status;
}
