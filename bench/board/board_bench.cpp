// Helper of bench/board/run.sh.
//   board-bench frames DEVICE IMAGE   write the frames of a mode-0 transfer of IMAGE to DEVICE
//                                     the way the updater writes them (one buffered write and a
//                                     flush per frame) but never wait for a status; then ask
//                                     the version query and wait for its answer, so that the
//                                     time ends when the board has taken every frame
//   board-bench updater DEVICE IMAGE  cUSBDeviceUpdater::UpdateFirmware(0) in this process,
//                                     with the log muted
// Prints the elapsed wall time in seconds and the number of messages on standard output.

#include "USBDeviceUpdater.h"

#include <QtGlobal>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace
{
void Mute(QtMsgType, const QMessageLogContext&, const QString&) {}

void Put32(unsigned char* at, std::uint32_t value)
{
    at[0] = value >> 24;
    at[1] = value >> 16;
    at[2] = value >> 8;
    at[3] = value;
}

std::vector<std::vector<unsigned char>> Frames(const std::vector<unsigned char>& image)
{
    std::vector<std::vector<unsigned char>> frames;
    std::uint32_t total = 0;
    for (unsigned char byte : image)
        total += byte;
    size_t offset = 0;
    const size_t length = image.size();
    while (offset < length)
    {
        const bool header = frames.empty();
        const size_t overhead = header ? 16 : 8;
        const size_t payload = std::min(length - offset, 512 - overhead);
        std::vector<unsigned char> frame(overhead + payload);
        frame[0] = frame.size() >> 8;
        frame[1] = frame.size() & 0xFF;
        frame[2] = 0x0C;
        frame[3] = header ? 0 : 1;
        if (header)
        {
            Put32(&frame[8], static_cast<std::uint32_t>(length));
            Put32(&frame[12], total);
        }
        std::memcpy(&frame[overhead], &image[offset], payload);
        std::uint32_t sum = 0;
        for (size_t i = 8; i < frame.size(); ++i)
            sum += frame[i];
        Put32(&frame[4], sum);
        frames.push_back(frame);
        offset += payload;
    }
    return frames;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
    {
        std::fprintf(stderr, "usage: board-bench frames|updater DEVICE IMAGE\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    size_t messages = 0;
    if (std::strcmp(argv[1], "updater") == 0)
    {
        qInstallMessageHandler(Mute);
        cUSBDeviceUpdater updater(argv[2], argv[3], 9.9f, false);
        if (!updater.UpdateFirmware(0))
        {
            std::fprintf(stderr, "board-bench: transfer failed\n");
            return 1;
        }
        FILE* image = std::fopen(argv[3], "rb");
        std::fseek(image, 0, SEEK_END);
        const long length = std::ftell(image);
        std::fclose(image);
        messages = length <= 496 ? 1 : 1 + (length - 496 + 503) / 504;
    }
    else
    {
        FILE* image = std::fopen(argv[3], "rb");
        std::vector<unsigned char> bytes;
        int c;
        while (image && (c = std::fgetc(image)) != EOF)
            bytes.push_back(static_cast<unsigned char>(c));
        if (image)
            std::fclose(image);
        const auto frames = Frames(bytes);
        messages = frames.size();
        FILE* device = std::fopen(argv[2], "wb+");
        if (!device)
        {
            std::perror(argv[2]);
            return 1;
        }
        for (const auto& frame : frames)
        {
            if (std::fwrite(frame.data(), 1, frame.size(), device) != frame.size() ||
                std::fflush(device) != 0)
            {
                std::perror("write");
                return 1;
            }
        }
        const unsigned char query[] = {0x00, 0x03, 0x01};
        char answer[12];
        std::fwrite(query, 1, sizeof query, device);
        std::fflush(device);
        if (std::fread(answer, 1, sizeof answer, device) != sizeof answer)
        {
            std::fprintf(stderr, "board-bench: no answer to the closing query\n");
            return 1;
        }
        std::fclose(device);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.6f %zu\n", seconds, messages);
    return 0;
}
