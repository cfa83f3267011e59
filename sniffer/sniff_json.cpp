// The JSON lines of --format jsonl, written from what the decoder held of each frame.

#include "sniff_json.hpp"

#include <charconv>
#include <string_view>

namespace {

void put_number(std::string& out, std::uint64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, static_cast<std::size_t>(end - digits));
}

// Seconds with microseconds, as a JSON number: 12.000345.
void put_seconds(std::string& out, std::int64_t micros) {
    put_number(out, static_cast<std::uint64_t>(micros / 1000000));
    char fraction[8] = {'.'};
    std::int64_t rest = micros % 1000000;
    for (int i = 6; i >= 1; --i, rest /= 10) fraction[i] = static_cast<char>('0' + rest % 10);
    out.append(fraction, 7);
}

void put_time(std::string& out, std::int64_t micros) {
    if (micros < 0) return;
    out += ",\"t\":";
    put_seconds(out, micros);
}

void put_hex_field(std::string& out, std::string_view key, const char* hex, std::size_t size) {
    out += ",\"";
    out += key;
    out += "\":\"";
    out.append(hex, size);
    out += '"';
}

// Whether the frame's address went by whole, in a command that has one.
bool address_known(const SniffFlashOp& op) {
    const SniffCommand& command = *op.command;
    if (op.undecodable || command.address_bytes == 0) return false;
    if (command.shape == sniff_shape_device_id) return false;
    const std::uint64_t last = command.lines == sniff_lines_dual_address ? 2 : op.address_bytes;
    return op.pairs > last;
}

// "op" with the command table's name (null for a command it does not know), "address" and the
// data's "len" where the operation has them.
void put_operation(std::string& out, const SniffFlashOp& op) {
    if (op.pairs == 0) return;
    if (op.command == nullptr) {
        out += ",\"op\":null";
        return;
    }
    out += ",\"op\":\"";
    out += op.command->name;
    out += '"';
    if (address_known(op)) {
        out += ",\"address\":";
        put_number(out, op.address);
    }
    switch (op.command->shape) {
    case sniff_shape_read:
    case sniff_shape_program:
    case sniff_shape_write_status:
        out += ",\"len\":";
        put_number(out, op.data_count);
        break;
    default: break;
    }
    if (op.undecodable || op.command->shape == sniff_shape_quad ||
        op.command->shape == sniff_shape_undecodable)
        out += ",\"undecodable\":true";
}

// The object of the held pairs, up to its closing brace.
void put_frame(SniffJson& json, std::size_t mosi_pairs) {
    json.out += "{\"frame\":";
    put_number(json.out, json.frames);
    put_time(json.out, json.frame_micros);
    put_hex_field(json.out, "mosi", json.mosi.data(), 2 * mosi_pairs);
    put_hex_field(json.out, "miso", json.miso.data(), 2 * json.held);
    json.held = 0;
}

} // namespace

SniffJson sniff_json_new(bool on, bool flash) {
    SniffJson json{};
    json.on = on;
    json.flash = flash;
    json.micros = -1;
    json.frame_micros = -1;
    if (on) {
        json.mosi.resize(2 * (sniff_json_pairs_held + 1));
        json.miso.resize(2 * (sniff_json_pairs_held + 1));
    }
    return json;
}

void sniff_json_open(SniffJson& json) {
    sniff_json_outside_out(json);
    ++json.frames;
    json.frame_micros = json.micros;
    json.held = 0;
}

void sniff_json_piece(SniffJson& json) {
    put_frame(json, json.held);
    json.out += ",\"more\":true}\n";
}

void sniff_json_end(SniffJson& json, const SniffFlashOp* op, bool cut) {
    put_frame(json, json.held);
    if (op != nullptr) put_operation(json.out, *op);
    if (cut) json.out += ",\"cut\":true";
    json.out += "}\n";
}

void sniff_json_outside_out(SniffJson& json) {
    if (json.outside.empty()) return;
    json.out += "{\"outside\":\"";
    json.out += json.outside;
    json.out += '"';
    put_time(json.out, json.micros);
    json.out += "}\n";
    json.outside.clear();
}

void sniff_json_raw(SniffJson& json, const unsigned char* bytes, int count) {
    constexpr char digits[] = "0123456789ABCDEF";
    json.out += "{\"read\":";
    put_number(json.out, ++json.reads);
    put_time(json.out, json.micros);
    json.out += ",\"bytes\":\"";
    for (int i = 0; i < count; ++i) {
        json.out += digits[bytes[i] >> 4];
        json.out += digits[bytes[i] & 0x0F];
    }
    json.out += "\"}\n";
}

void sniff_json_finish(SniffJson& json, bool frame_open, bool pair_begun, bool half_pair) {
    sniff_json_outside_out(json);
    if (!frame_open) return;
    put_frame(json, json.held + (half_pair ? 1 : 0));
    json.out += ",\"unfinished\":true";
    if (pair_begun) json.out += ",\"pair_begun\":true";
    json.out += "}\n";
}
