// JSON tokenizer of the telemetry status channel.
#include "comm/tele/json.h"

namespace {

JsonParse global;

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int hexDigit(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

} // namespace

void JsonParse::setBuff(const char* text, size_t len) {
    start = pos = text;
    length = text ? len : 0;
    consumed = 0;
    putBack = 0;
    state = 0;
}

int JsonParse::getNextChar(char* c) {
    if (putBack) {
        *c = putBack;
        putBack = 0;
        return 1;
    }
    if (consumed >= length) return 0;
    *c = *pos++;
    ++consumed;
    return 1;
}

void JsonParse::putBackChar(char c) {
    putBack = c;
}

int JsonParse::numberChar(char c) {
    return (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+';
}

void JsonParse::skipBlanks() {
    char c;
    while (getNextChar(&c))
        if (!blank(c)) {
            putBackChar(c);
            return;
        }
}

int JsonParse::parseString(char* out, size_t size) {
    size_t n = 0;
    auto store = [&](char c) {
        if (n + 1 < size) out[n++] = c;
    };
    auto finish = [&](int result) {
        if (size) out[n] = 0;
        return result;
    };
    char c;
    if (!getNextChar(&c)) return finish(0);
    if (c == '"') {
        while (getNextChar(&c)) {
            if (c == '"') return finish(1);
            if (c != '\\') {
                store(c);
                continue;
            }
            if (!getNextChar(&c)) return finish(0);
            switch (c) {
            case 'b':
                store('\b');
                break;
            case 'f':
                store('\f');
                break;
            case 'n':
                store('\n');
                break;
            case 'r':
                store('\r');
                break;
            case 't':
                store('\t');
                break;
            case 'u': {
                int code = 0;
                for (int i = 0; i < 4; ++i) {
                    if (!getNextChar(&c)) return finish(0);
                    const int d = hexDigit(c);
                    code = code * 16 + (d < 0 ? 0 : d);
                }
                store(code < 0x80 ? static_cast<char>(code) : '?');
                break;
            }
            default:
                store(c); // \" \\ \/
            }
        }
        return finish(0);
    }
    putBackChar(c);
    while (getNextChar(&c)) {
        if (!numberChar(c)) {
            putBackChar(c);
            return finish(1);
        }
        store(c);
    }
    return finish(0);
}

int JsonParse::getNext(char* key, size_t keySize, char* value, size_t valueSize) {
    char c;
    for (;;) {
        if (state == 1 || state == 3) skipBlanks();
        if (!getNextChar(&c)) return 0;
        switch (state) {
        case 0:
            if (c == '{') state = 1;
            break;
        case 1:
            putBackChar(c);
            if (!parseString(key, keySize)) return 0;
            state = 2;
            break;
        case 2:
            if (c == ':') state = 3;
            break;
        case 3:
            putBackChar(c);
            if (!parseString(value, valueSize)) return 0;
            state = 4;
            return 1;
        default:
            if (c == '}') return 0;
            if (c == ',') state = 1;
            break;
        }
    }
}

void json_setBuff(const char* text, size_t length) {
    global.setBuff(text, length);
}

int json_getNext(char* key, size_t keySize, char* value, size_t valueSize) {
    return global.getNext(key, keySize, value, valueSize);
}
