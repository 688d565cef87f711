#include "Report.h"

#include <cstdio>

namespace
{

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text)
    {
        if (c == '"' || c == '\\')
        {
            out += '\\';
            out += static_cast<char>(c);
        }
        else if (c < 0x20)
        {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        }
        else
        {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string JsonBool(bool value)
{
    return value ? "true" : "false";
}

std::string QueriesJson(const QueryCounts& queries)
{
    return "{\"version\": " + std::to_string(queries.version) +
           ", \"bootloader\": " + std::to_string(queries.bootloader) +
           ", \"pin\": " + std::to_string(queries.pin) +
           ", \"board_id\": " + std::to_string(queries.boardId) + "}";
}

std::string ErrorsJson(const std::vector<std::string>& errors)
{
    std::string json = "[";
    for (size_t i = 0; i < errors.size(); ++i)
    {
        json += (i ? ", " : "") + JsonString(errors[i]);
    }
    return json + "]";
}

std::string FrameLengthsJson(const std::vector<int>& lengths)
{
    std::string json = "[";
    for (size_t i = 0; i < lengths.size(); ++i)
    {
        json += (i ? ", " : "") + std::to_string(lengths[i]);
    }
    return json + "]";
}

std::string TransferJson(const Transfer& t)
{
    std::string json = "{\"command\": " + std::to_string(t.command);
    json += ", \"bootloader_message\": " + JsonBool(t.bootloaderMessage);
    json += ", \"version\": ";
    json += t.versionMessage
                ? "[" + std::to_string(t.versionMajor) + ", " + std::to_string(t.versionMinor) + "]"
                : "null";
    json += ", \"length\": " + std::to_string(t.length);
    json += ", \"received\": " + std::to_string(t.received.size());
    json += ", \"image_checksum\": " + std::to_string(t.announcedChecksum);
    json += ", \"received_checksum\": " + std::to_string(t.receivedChecksum);
    json += ", \"messages\": " + std::to_string(t.messages);
    json += ", \"status_messages\": " + std::to_string(t.statusMessages);
    json += ", \"frame_lengths\": " + FrameLengthsJson(t.frameLengths);
    json += ", \"result\": " + JsonString(t.result.empty() ? "running" : t.result);
    json += ", \"error\": " + JsonString(t.error);
    json += ", \"intact\": " + JsonBool(t.intact) + "}";
    return json;
}

} // namespace

std::string ReportJson(const std::string& device, const Record& record)
{
    std::string json = "{\n";
    json += "  \"device\": " + JsonString(device) + ",\n";
    json += "  \"frames\": " + std::to_string(record.frames) + ",\n";
    json += "  \"queries\": " + QueriesJson(record.queries) + ",\n";
    json += "  \"errors\": " + ErrorsJson(record.errors) + ",\n";
    json += "  \"transfers\": [";
    for (size_t i = 0; i < record.transfers.size(); ++i)
    {
        json += (i ? ",\n    " : "\n    ") + TransferJson(record.transfers[i]);
    }
    json += record.transfers.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return json;
}

void ReplaceFile(const std::string& path, const void* bytes, size_t size)
{
    const std::string temporary = path + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr)
    {
        return;
    }
    std::fwrite(bytes, 1, size, file);
    std::fclose(file);
    std::rename(temporary.c_str(), path.c_str());
}
