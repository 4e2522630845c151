// XML reading layer of the configuration readers: files, tag streams, typed attributes.
//
// XML reading layer of the configuration readers: XmlFile loads a file, XmlScan walks its
// tags as a flat stream of tokens, XmlTagParser turns the attributes of one tag into typed
// fields, XmlVTabParser maps symbolic values to integers and XmlHelper parses numbers.
//
// Errors are thrown as `const char*` texts built by XmlError; the text lives in a buffer of
// the calling thread and stays valid until that thread builds the next one. Text content
// between tags is skipped.
#pragma once

#include <cstdint>

#include "services/xml/xpp.h"

// Token types.
enum : uint32_t {
    XmlTokStart = 0,      // start tag without attributes, content may follow
    XmlTokStartAttr = 1,  // start tag with attributes (or empty); 2 or 3 follows
    XmlTokStartClose = 2, // closing bracket of a start tag
    XmlTokEmptyClose = 3, // closing of an empty-element tag
    XmlTokEnd = 4,        // end tag
    XmlTokAttr = 5,       // attribute found by getAttribute
    XmlTokEof = 6,
    XmlTokNone = 7,
    XmlTokError = 8,
};

struct XmlTok_t {
    uint32_t type;
    const char* name;  // "" when there is none
    const char* value; // "" when there is none
};

struct XmlPos_t {
    int line;
    int column;
    int depth;
    int attrCount;
    bool pending;
    bool advance;
};

enum xmlType_t {
    xmlTypeString = 0,
    xmlTypeHex = 1,
    xmlTypeHex64 = 2,
    xmlTypeInt = 3,
    xmlTypeUInt = 4,
    xmlTypeFloat = 5,
    xmlTypeVTab = 6,
};

class XmlScan;

const char* XmlError(const char* text);
const char* XmlError(const char* text, const char* detail);
const char* XmlError(const char* text, const XmlScan* scan);
const char* XmlError(const char* text, const char* detail, const XmlScan* scan);

class XmlScan {
  public:
    // The text is not copied and must outlive the scanner.
    explicit XmlScan(const char* text);
    ~XmlScan();
    XmlScan(const XmlScan&) = delete;
    XmlScan& operator=(const XmlScan&) = delete;

    // Next token; name and value stay valid until the scanner moves on. Always 0.
    int getTok(XmlTok_t* tok);
    // Attribute tok->name of the current start tag (by local name): 0 and type 5, or -1 and type 8.
    int getAttribute(XmlTok_t* tok);
    int getNesting(const XmlTok_t* tok);
    // Skips the current element: 0 past its end, 1 at end of document, -1 on an error or
    // when the scanner is not at a start tag.
    int scanOverTag(XmlTok_t* tok);
    bool isEof();
    int next();
    void getPos(XmlPos_t* pos) const;
    void setPos(const XmlPos_t* pos);
    static void resetToken(XmlTok_t* tok);

  private:
    void initPos();
    void updatePos();

    Xpp* xpp_ = nullptr;
    const char* text_;
    int line_ = 0;
    int column_ = 0;
    int depth_ = 0;
    int attrCount_ = 0;
    bool pending_ = false;
    bool advance_ = false;
};

class XmlFile {
  public:
    explicit XmlFile(const char* path);
    ~XmlFile();
    XmlFile(const XmlFile&) = delete;
    XmlFile& operator=(const XmlFile&) = delete;

    XmlScan* getScanner() { return scan_; }

  private:
    XmlScan* scan_ = nullptr;
    char* text_ = nullptr;
};

class XmlVTabParser {
  public:
    explicit XmlVTabParser(int n);
    ~XmlVTabParser();
    XmlVTabParser(const XmlVTabParser&) = delete;
    XmlVTabParser& operator=(const XmlVTabParser&) = delete;

    void addPair(const char* name, int value);
    // 0 and the value of the first pair named text, or -1.
    int parse(const char* text, int* out) const;

  private:
    struct Pair {
        char name[256];
        int value;
    };
    int max_;
    int used_ = 0;
    Pair* pairs_;
};

class XmlTagParser {
  public:
    explicit XmlTagParser(int n);
    ~XmlTagParser();
    XmlTagParser(const XmlTagParser&) = delete;
    XmlTagParser& operator=(const XmlTagParser&) = delete;

    void addAttribute(const char* name, void* target, int size, xmlType_t type, bool mandatory);
    void addAttributeVTab(const char* name, XmlVTabParser* vtab, void* target, int size, bool mandatory);
    // Reads the attributes of the current tag into their targets and consumes the end of
    // the tag: XmlTokStartClose (content follows) or XmlTokEmptyClose.
    int parse(XmlScan* scan);

  private:
    struct Record {
        char name[256];
        xmlType_t type;
        void* target;
        int size;
        bool mandatory;
        XmlVTabParser* vtab;
    };
    Record* add(const char* name, const char* fullText);

    int max_;
    int used_ = 0;
    Record* records_;
};

// Each parser returns 0 and stores the value, or -1 and leaves the output untouched.
class XmlHelper {
  public:
    static int getInt(const char* text, int32_t* out, int32_t min, int32_t max);
    static int getUInt(const char* text, uint32_t* out, uint32_t min, uint32_t max);
    static int getHex(const char* text, uint32_t* out, uint32_t min, uint32_t max);
    static int getHex64(const char* text, uint64_t* out, uint64_t min, uint64_t max);
    static int getFloat(const char* text, float* out);
    static int getBool(const char* text, bool* out);
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }
};
