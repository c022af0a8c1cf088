#include <charconv>
#include <cmath>

#include "HelperCore/Accessibility/Accessibility.hpp"

namespace tavrel {

namespace {

/// Writes the document's text with the settings of `JSON::encode`: compact, keys in ascending
/// order, "/" as itself, non-finite numbers as the strings "inf", "-inf" and "nan", finite
/// ones exactly as the JSON library writes them.
class DocumentWriter {
  public:
    explicit DocumentWriter(std::string& out) : out_(out) {}

    void elements(const AXNode& node, bool& first) {
        if (!AXDocument::keeps(node)) {
            for (const AXNode& child : node.children) elements(child, first);
            return;
        }
        if (!first) out_ += ',';
        first = false;
        out_ += R"({"children":[)";
        bool firstChild = true;
        for (const AXNode& child : node.children) elements(child, firstChild);
        out_ += node.enabled ? R"(],"enabled":true,"frame":{"height":)"
                             : R"(],"enabled":false,"frame":{"height":)";
        number(node.frame.height);
        out_ += R"(,"width":)";
        number(node.frame.width);
        out_ += R"(,"x":)";
        number(node.frame.x);
        out_ += R"(,"y":)";
        number(node.frame.y);
        out_ += R"(},"identifier":)";
        text(node.identifier);
        out_ += R"(,"label":)";
        text(node.label);
        out_ += R"(,"subrole":)";
        text(node.subrole);
        out_ += R"(,"title":)";
        text(node.title);
        out_ += R"(,"traits":)";
        if (node.traits)
            traits(*node.traits);
        else
            out_ += "null";
        out_ += R"(,"type":)";
        if (auto type = AXDocument::type(node.role))
            string(*type);
        else
            out_ += "null";
        out_ += R"(,"value":)";
        if (!node.value)
            out_ += "null";
        else if (const std::string* value = node.value->asText())
            string(*value);
        else
            number(*node.value->asNumber());
        out_ += '}';
    }

    void integer(long long value) {
        char buffer[24];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        out_.append(buffer, result.ptr);
    }

  private:
    /// The names of `AXTraits::names`, without building the list.
    void traits(std::uint64_t bits) {
        if (bits == 0) {
            out_ += R"(["None"])";
            return;
        }
        char separator = '[';
        for (std::size_t bit = 0; bit < AXTraits::table.size(); ++bit) {
            if (!(bits & (std::uint64_t{1} << bit))) continue;
            out_ += separator;
            separator = ',';
            out_ += '"';
            out_ += AXTraits::table[bit];  // plain ASCII words
            out_ += '"';
        }
        if (bits >> AXTraits::table.size()) {
            out_ += separator;
            out_ += R"("Unknown")";
        }
        out_ += ']';
    }

    void number(double value) {
        if (value == std::trunc(value) && std::fabs(value) < 1e15 && !std::signbit(value)) {
            // Whole numbers, most frames: the library writes these as digits and ".0".
            integer(static_cast<long long>(value));
            out_ += ".0";
        } else if (std::isnan(value)) {
            out_ += R"("nan")";
        } else if (std::isinf(value)) {
            out_ += value > 0 ? R"("inf")" : R"("-inf")";
        } else {
            // The library's own shortest form, so that the text matches its dump to the byte.
            char buffer[64];
            char* end = nlohmann::detail::to_chars(buffer, buffer + sizeof buffer, value);
            out_.append(buffer, end);
        }
    }

    void text(const std::optional<std::string>& value) {
        if (value)
            string(*value);
        else
            out_ += "null";
    }

    void string(std::string_view value) {
        out_ += '"';
        std::size_t run = 0;  // start of the bytes not yet copied
        std::size_t i = 0;
        while (i < value.size()) {
            auto byte = static_cast<unsigned char>(value[i]);
            if (byte >= 0x20 && byte != '"' && byte != '\\' && byte < 0x80) {
                ++i;
                continue;
            }
            if (byte >= 0x80) {
                std::size_t length = sequenceLength(value, i);
                if (length == 0) {
                    // As the encoder does: one U+FFFD for each broken sequence, and the document
                    // stands.
                    out_.append(value.data() + run, i - run);
                    out_ += "\xEF\xBF\xBD";
                    i += brokenLength(value, i);
                    run = i;
                    continue;
                }
                i += length;
                continue;
            }
            out_.append(value.data() + run, i - run);
            escape(byte);
            run = ++i;
        }
        out_.append(value.data() + run, i - run);
        out_ += '"';
    }

    void escape(unsigned char byte) {
        switch (byte) {
            case '"':
                out_ += R"(\")";
                break;
            case '\\':
                out_ += R"(\\)";
                break;
            case '\b':
                out_ += R"(\b)";
                break;
            case '\t':
                out_ += R"(\t)";
                break;
            case '\n':
                out_ += R"(\n)";
                break;
            case '\f':
                out_ += R"(\f)";
                break;
            case '\r':
                out_ += R"(\r)";
                break;
            default: {
                static const char hex[] = "0123456789abcdef";
                char escaped[] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]};
                out_.append(escaped, sizeof escaped);
            }
        }
    }

    /// The length of the well-formed UTF-8 sequence starting at `i` (a byte of 0x80 or more),
    /// or 0: no overlong forms, no surrogates, nothing above U+10FFFF.
    static std::size_t sequenceLength(std::string_view value, std::size_t i) {
        auto at = [&](std::size_t k) -> unsigned {
            return i + k < value.size() ? static_cast<unsigned char>(value[i + k]) : 0;
        };
        auto continuation = [](unsigned byte, unsigned low = 0x80, unsigned high = 0xBF) {
            return byte >= low && byte <= high;
        };
        unsigned lead = at(0);
        if (lead >= 0xC2 && lead <= 0xDF) return continuation(at(1)) ? 2 : 0;
        if (lead >= 0xE0 && lead <= 0xEF) {
            unsigned low = lead == 0xE0 ? 0xA0 : 0x80, high = lead == 0xED ? 0x9F : 0xBF;
            return continuation(at(1), low, high) && continuation(at(2)) ? 3 : 0;
        }
        if (lead >= 0xF0 && lead <= 0xF4) {
            unsigned low = lead == 0xF0 ? 0x90 : 0x80, high = lead == 0xF4 ? 0x8F : 0xBF;
            return continuation(at(1), low, high) && continuation(at(2)) && continuation(at(3)) ? 4
                                                                                                : 0;
        }
        return 0;
    }

    /// How many bytes from `i` a broken sequence takes: its lead and the continuation bytes
    /// that fitted before it broke off (at least one).
    static std::size_t brokenLength(std::string_view value, std::size_t i) {
        const auto lead = static_cast<unsigned char>(value[i]);
        std::size_t needed = 0;
        unsigned low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            needed = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            needed = 2;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            needed = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        }
        std::size_t length = 1;
        while (length <= needed && i + length < value.size()) {
            const auto byte = static_cast<unsigned char>(value[i + length]);
            if (byte < low || byte > high) break;
            low = 0x80;
            high = 0xBF;
            ++length;
        }
        return length;
    }

    std::string& out_;
};

std::size_t count(const AXNode& node) {
    std::size_t total = 1;
    for (const AXNode& child : node.children) total += count(child);
    return total;
}

}  // namespace

AXDocument AXDocument::make(const AXNode& root, const ScreenGeometry& screen) {
    std::string text;
    // One allocation for the usual document: an element takes some 200 bytes.
    text.reserve(256 + 256 * count(root));
    DocumentWriter writer(text);
    text += R"({"backend":"native","elements":[)";
    bool first = true;
    writer.elements(root, first);
    text += R"(],"modal":null,"screen":{"coordinate_space":"screen","height":)";
    writer.integer(screen.heightPt);
    text += R"(,"width":)";
    writer.integer(screen.widthPt);
    text += R"(},"truncated":false})";
    return AXDocument(std::move(text));
}

}  // namespace tavrel
