/* The anchor of bench/board: the least a client can do to send a firmware image over this link
 * with this protocol. It writes the frames of a mode-0 transfer of IMAGE to DEVICE, each with one
 * write(2), and waits for each status byte with one blocking read(2): no log, no deadline, no
 * stdio on the device, nothing but the status checked.
 *   stop-and-wait DEVICE IMAGE
 * Exits 0 when the board accepted every frame. */

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum
{
    FRAME_SIZE = 512,
    HEADER_OVERHEAD = 16,
    DATA_OVERHEAD = 8,
    MODE_0_COMMAND = 0x0C
};

static void put32(unsigned char* at, uint32_t value)
{
    at[0] = (unsigned char)(value >> 24);
    at[1] = (unsigned char)(value >> 16);
    at[2] = (unsigned char)(value >> 8);
    at[3] = (unsigned char)value;
}

static unsigned char* read_image(const char* path, size_t* length)
{
    FILE* file = fopen(path, "rb");
    if (file == NULL || fseek(file, 0, SEEK_END) != 0)
        return NULL;
    *length = (size_t)ftell(file);
    rewind(file);
    unsigned char* image = malloc(*length ? *length : 1);
    if (image != NULL && fread(image, 1, *length, file) != *length)
    {
        free(image);
        image = NULL;
    }
    fclose(file);
    return image;
}

/* Lays out the frame that carries the image bytes from offset on; returns its length. */
static size_t build_frame(unsigned char* frame, const unsigned char* image, size_t length,
                          uint32_t image_sum, size_t offset)
{
    const int header = offset == 0;
    const size_t overhead = header ? HEADER_OVERHEAD : DATA_OVERHEAD;
    size_t payload = length - offset;
    if (payload > FRAME_SIZE - overhead)
        payload = FRAME_SIZE - overhead;
    const size_t size = overhead + payload;
    frame[0] = (unsigned char)(size >> 8);
    frame[1] = (unsigned char)size;
    frame[2] = MODE_0_COMMAND;
    frame[3] = header ? 0 : 1;
    if (header)
    {
        put32(frame + 8, (uint32_t)length);
        put32(frame + 12, image_sum);
    }
    memcpy(frame + overhead, image + offset, payload);
    uint32_t sum = 0;
    for (size_t i = 8; i < size; ++i)
        sum += frame[i];
    put32(frame + 4, sum);
    return size;
}

/* One frame out, one status byte back; 0 when the board accepted it. */
static int exchange(int device, const unsigned char* frame, size_t size)
{
    size_t written = 0;
    while (written < size)
    {
        const ssize_t count = write(device, frame + written, size - written);
        if (count < 0 && errno != EINTR)
            return -1;
        if (count > 0)
            written += (size_t)count;
    }
    unsigned char status = 0xFF;
    ssize_t got;
    do
        got = read(device, &status, 1);
    while (got < 0 && errno == EINTR);
    return got == 1 && status == 0 ? 0 : -1;
}

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        fprintf(stderr, "usage: stop-and-wait DEVICE IMAGE\n");
        return 2;
    }
    size_t length = 0;
    unsigned char* image = read_image(argv[2], &length);
    const int device = open(argv[1], O_RDWR | O_NOCTTY);
    if (image == NULL || device < 0)
    {
        fprintf(stderr, "stop-and-wait: cannot open %s\n", image == NULL ? argv[2] : argv[1]);
        return 1;
    }
    uint32_t image_sum = 0;
    for (size_t i = 0; i < length; ++i)
        image_sum += image[i];

    unsigned char frame[FRAME_SIZE];
    size_t offset = 0;
    while (offset < length)
    {
        const size_t size = build_frame(frame, image, length, image_sum, offset);
        if (exchange(device, frame, size) != 0)
        {
            fprintf(stderr, "stop-and-wait: frame at image offset %zu not accepted\n", offset);
            return 1;
        }
        offset += size - (offset == 0 ? HEADER_OVERHEAD : DATA_OVERHEAD);
    }
    close(device);
    free(image);
    return 0;
}
