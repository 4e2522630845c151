// JSON tokenizer: reads the flat objects of the telemetry status channel one key/value pair at a
// time, without a tree and without allocating. Blanks around the tokens and escapes in strings
// are understood, so senders with the usual spacing ("rsrp": -95) are read as well as compact
// ones; a value that is no string or number (true, null, an object) is returned empty.
#pragma once

#include <cstddef>

class JsonParse {
  public:
    void setBuff(const char* text, size_t length);
    // 1 with the next pair (NUL-terminated, cut to size - 1 characters); 0 at the closing brace,
    // at the end of the text, or when a string is cut off by it.
    int getNext(char* key, size_t keySize, char* value, size_t valueSize);

    int getNextChar(char* c);
    void putBackChar(char c);
    int parseString(char* out, size_t size);
    static int numberChar(char c);

  private:
    void skipBlanks();

    const char* start = nullptr;
    const char* pos = nullptr;
    size_t length = 0, consumed = 0;
    char putBack = 0;
    int state = 0;
};

void json_setBuff(const char* text, size_t length);
int json_getNext(char* key, size_t keySize, char* value, size_t valueSize);
