#include "format/format.h"

#include <climits>
#include <cstring>

namespace {

// Counts what it hands on, so callers can size the trailing padding.
struct Output {
    EmitFn emit;
    void* context;
    int count;

    void put(int character) {
        emit(static_cast<signed char>(character), context);
        ++count;
    }
};

// Settings of one conversion, reset by every "%".
struct Conversion {
    bool zeroPad = false;
    bool digitSeen = false;
    std::int32_t number = 0;
    std::int32_t width = 0;
    bool leftAlign = false;
    int signMode = SIGN_NONE;
    bool grouping = false;
    int prefix = 0;
};

struct NumberLayout {
    int positions;
    std::uint32_t topDivisor;
};

NumberLayout layoutFor(int base, bool grouping) {
    switch (base) {
    case 16: return {8, 0x10000000u};
    case 8: return {11, 0x40000000u};
    case 2: return {32, 0x80000000u};
    default: return {grouping ? 13 : 10, 1000000000u};
    }
}

bool isGroupDivisor(std::uint32_t divisor) {
    return divisor == 1000000000u || divisor == 1000000u || divisor == 1000u;
}

int clampToInt(std::int64_t value) {
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// Sign characters shown where the number starts; resolveSign also reserves
// the position they take.
struct Sign {
    char leading;    // ' ' goes before the prefix
    char trailing;   // '-' or '+' goes after it
};

Sign resolveSign(std::uint32_t* value, int base, int signMode, std::int64_t* hidden) {
    if ((base != 8 && base != 10) || signMode == SIGN_NONE) return {0, 0};
    if (static_cast<std::int32_t>(*value) < 0) {
        *value = 0u - *value;
        ++*hidden;
        return {0, '-'};
    }
    if (signMode == SIGN_NEGATIVE) return {0, 0};
    ++*hidden;
    return signMode == SIGN_PLUS ? Sign{0, '+'} : Sign{' ', 0};
}

}   // namespace

int padSpaces(EmitFn emit, void* context, int enabled, int count) {
    if (!enabled || count <= 0) return 0;
    for (int i = 0; i < count; ++i) emit(' ', context);
    return count;
}

int formatNumber(EmitFn emit, void* context, std::uint32_t value, int base, int digitCount, int signMode,
                 unsigned numberFlags, int prefixCharacter) {
    if (base != 2 && base != 8 && base != 16) base = 10;
    const char* digits = (base == 16 && signMode != SIGN_NONE) ? "0123456789abcdef" : "0123456789ABCDEF";
    const bool grouping = (numberFlags & NUMBER_GROUPING) != 0 && base == 10;
    const bool zeroPad = (numberFlags & NUMBER_SPACE_PAD) == 0;
    const int prefix = static_cast<signed char>(prefixCharacter);
    const NumberLayout layout = layoutFor(base, grouping);

    std::int64_t hidden = std::int64_t{layout.positions} - digitCount + (prefix != 0 ? 1 : 0);
    const Sign sign = resolveSign(&value, base, signMode, &hidden);

    Output out{emit, context, 0};
    if (hidden < 0) {
        out.count += padSpaces(emit, context, 1, clampToInt(-hidden));
        hidden = 0;
    }
    bool started = false;
    const auto divisorBase = static_cast<std::uint32_t>(base);
    for (std::uint32_t divisor = layout.topDivisor; divisor != 0; divisor /= divisorBase) {
        const std::uint32_t digit = (value / divisor) % divisorBase;
        if (!started && (digit != 0 || (zeroPad && hidden <= 0) || divisor == 1)) {
            started = true;
            hidden = 0;
            if (sign.leading) out.put(sign.leading);
            if (prefix != 0) out.put(prefix);
            if (sign.trailing) out.put(sign.trailing);
        }
        if (hidden <= 0) out.put(started ? digits[digit] : ' ');
        --hidden;
        // A separator slot is a position of its own, shown only once visible.
        if (grouping && isGroupDivisor(divisor)) {
            if (hidden <= 0) out.put(started ? ',' : ' ');
            --hidden;
        }
    }
    return out.count;
}

namespace {

const char* textOf(const char* text) {
    // A missing text prints as nothing rather than crashing the program.
    return text != nullptr ? text : "";
}

void formatText(Output* out, const Conversion& c, std::int32_t length, const char* text) {
    if (length < 0) length = 0;
    const std::int32_t count = (c.number == 0 || c.number > length) ? length : c.number;
    const int lead = padSpaces(out->emit, out->context, !c.leftAlign, clampToInt(std::int64_t{c.width} - count));
    std::int32_t shown = 0;
    for (; shown < count && text[shown] != '\0'; ++shown) out->put(text[shown]);
    padSpaces(out->emit, out->context, 1, clampToInt(std::int64_t{c.width} - lead - shown));
}

void formatString(Output* out, const Conversion& c, std::va_list* args) {
    const char* text = textOf(va_arg(*args, const char*));
    const std::size_t length = std::strlen(text);
    formatText(out, c, length > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(length), text);
}

void formatCountedString(Output* out, const Conversion& c, std::va_list* args) {
    const std::int32_t length = va_arg(*args, int);
    formatText(out, c, length, textOf(va_arg(*args, const char*)));
}

unsigned numberFlagsOf(const Conversion& c, bool grouping) {
    return (c.zeroPad ? 0u : NUMBER_SPACE_PAD) | (grouping ? NUMBER_GROUPING : 0u);
}

void formatField(Output* out, const Conversion& c, int base, int signMode, std::va_list* args) {
    const auto value = static_cast<std::uint32_t>(va_arg(*args, int));
    const int lead = padSpaces(out->emit, out->context, !c.leftAlign, clampToInt(std::int64_t{c.width} - c.number));
    const int shown = formatNumber(out->emit, out->context, value, base, c.number, signMode,
                                   numberFlagsOf(c, c.grouping), c.prefix);
    padSpaces(out->emit, out->context, 1, clampToInt(std::int64_t{c.width} - lead - shown));
}

void formatDottedQuad(Output* out, const Conversion& c, std::va_list* args) {
    const auto value = static_cast<std::uint32_t>(va_arg(*args, int));
    for (int shift = 0; shift < 32; shift += 8) {
        if (shift != 0) out->emit('.', out->context);
        formatNumber(out->emit, out->context, (value >> shift) & 0xFFu, 10, c.number, SIGN_NONE,
                     numberFlagsOf(c, false), 0);
    }
}

int explicitSignOr(const Conversion& c, int fallback) {
    return c.signMode == SIGN_NONE ? fallback : c.signMode;
}

// Performs the conversion `letter` ends; every other character is printed
// as itself without consuming an argument.
void convert(Output* out, const Conversion& c, char letter, std::va_list* args) {
    switch (letter) {
    case 'c': out->put(va_arg(*args, int)); return;
    case 's': formatString(out, c, args); return;
    case 'S': formatCountedString(out, c, args); return;
    case 'u': formatField(out, c, 10, SIGN_NONE, args); return;
    case 'd': formatField(out, c, 10, explicitSignOr(c, SIGN_NEGATIVE), args); return;
    case 'b': formatField(out, c, 2, SIGN_NONE, args); return;
    case 'o': formatField(out, c, 8, c.signMode, args); return;
    // Any sign mode asks formatNumber for lower-case letter digits.
    case 'x':
    case 'p': formatField(out, c, 16, explicitSignOr(c, SIGN_NEGATIVE), args); return;
    case 'X':
    case 'P': formatField(out, c, 16, c.signMode, args); return;
    case 'i':
    case 'I': formatDottedQuad(out, c, args); return;
    default: out->put(letter); return;
    }
}

void addDigit(Conversion* c, char digit) {
    if (!c->digitSeen) {
        c->digitSeen = true;
        c->zeroPad = digit == '0';
    }
    // Wraps instead of overflowing on absurdly long digit runs.
    const std::uint32_t next = static_cast<std::uint32_t>(c->number) * 10u + static_cast<std::uint32_t>(digit - '0');
    c->number = static_cast<std::int32_t>(next);
}

// Applies a setting character; returns false when `ch` ends the conversion.
bool applySetting(Conversion* c, char ch, std::va_list* args) {
    if (ch >= '0' && ch <= '9') {
        addDigit(c, ch);
        return true;
    }
    switch (ch) {
    case '*': c->number = va_arg(*args, int); return true;
    case '.':
        c->width = c->number;
        c->number = 0;
        return true;
    case '-': c->leftAlign = true; return true;
    case '+': c->signMode = SIGN_PLUS; return true;
    case ' ': c->signMode = SIGN_SPACE; return true;
    case ',': c->grouping = true; return true;
    case '$': c->prefix = '$'; return true;
    case '@': c->prefix = static_cast<signed char>(va_arg(*args, int)); return true;
    default: return false;
    }
}

}   // namespace

void formatOutput(EmitFn emit, void* context, const char* format, std::va_list args) {
    std::va_list walk;
    va_copy(walk, args);
    Output out{emit, context, 0};
    bool inConversion = false;
    Conversion conversion;
    for (const char* p = format; p != nullptr && *p != '\0'; ++p) {
        if (!inConversion) {
            if (*p == '%') {
                inConversion = true;
                conversion = Conversion{};
            } else {
                out.put(*p);
            }
        } else if (!applySetting(&conversion, *p, &walk)) {
            convert(&out, conversion, *p, &walk);
            inConversion = false;
        }
    }
    va_end(walk);
}
