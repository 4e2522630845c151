#include "services/xml/xpp.h"

#include "platform/os/osfs.h"

#include "services/xml/xml_io.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>
#include <string>
#include <unordered_map>

#include <expat.h>

namespace {

constexpr int CHUNK = 2048;
// expat runs on until this many events wait for the reader: stopping and resuming it for each
// one would cost as much as the parsing.
constexpr int QUEUE_BATCH = 64;
constexpr int ERROR_TEXT_SIZE = 160;
constexpr size_t NONE = static_cast<size_t>(-1);

constexpr int ERR_MEMORY = 101;
constexpr int ERR_STATE = 103;
constexpr int ERR_NOT_FOUND = 105;
constexpr int ERR_PARSE = 107;

// Internal entities are parsed by parsers of their own, nested on the stack.
constexpr int MAX_INTERNAL_DEPTH = 32;
// Each such parser copies the document's declarations: expansions times declarations is
// the work, bounded so that many references to a large DTD cannot stall the reader.
constexpr unsigned long long MAX_EXPANSION_WORK = 1ull << 20;

// Where an event stands. The document parser's events in a UTF-8 text input keep only their byte
// index (line < 0); line and column are counted from the text when the reader asks, which spares
// expat's position update on every event.
struct Where {
    int line, column;
    XML_Index at;
};

// One input: the document, or an external entity while it is parsed.
struct Ctx {
    Ctx* prev;    // enclosing input
    Ctx* nextAll; // every entity input of this parse, freed at reset (events name their file)
    char* fileName;
    char* baseDir;
    FILE* file;
    XML_Parser parser;
    const char* text;
    size_t textLeft;
    bool finalFed;
    bool suspended;
    int level;
    // An internal entity's text: events report the position of its reference.
    bool internal;
    int internalDepth;
    char* entityName;
    Where ref;
};

// The strings of the queued events live in one buffer of the reader (emptied whenever the queue
// is), their attributes and namespace declarations in two arrays beside it; events refer to them
// by offset and index, as these grow while the queue fills.
struct AttrRec {
    size_t qname, local, ns, value;
};

struct DeclRec {
    size_t prefix, uri;
};

struct Event {
    int type;
    int empty;
    int depth;
    Where where;
    const Ctx* ctx;
    size_t qname, local, ns;
    size_t text;
    int textLen;
    int attrFirst, attrCount;
    int declFirst, declCount;
    XML_Index byteIndex;
    int byteCount;
    unsigned run;
};

struct Scope {
    char* prefix;
    char* uri;
    int level;
};

} // namespace

struct Xpp {
    Ctx base;
    Ctx* cur;
    Ctx* entities;
    int errorCode;
    char errorText[ERROR_TEXT_SIZE];
    // A failure of the parse, until the reader reaches its error event.
    int parseCode;
    char parseText[ERROR_TEXT_SIZE];
    bool parseFailed;
    int errorLine, errorColumn;
    bool extEnabled;
    bool extActive;
    bool started;
    bool done;
    bool hasCurrent;
    bool oom;
    Event* ring;
    int cap, head, count;
    char* strings;
    size_t stringsUsed, stringsCap;
    AttrRec* attrs;
    int attrsUsed, attrsCap;
    DeclRec* decls;
    int declsUsed, declsCap;
    int depth;
    unsigned run;
    // The newest event is a start tag not yet known to be empty: that is settled by the next
    // callback or the end of expat's run.
    bool tailUndecided;
    // The newest event is text of the document itself: more text right behind it joins it.
    bool tailText;
    Scope* scope;
    int scopeCount, scopeCap;
    Scope* pending; // namespace declarations of the start tag being read
    int pendingCount, pendingCap;
    Scope* bound; // bindings in force where expat is parsing (for internal entities)
    int boundCount, boundCap;
    std::unordered_map<std::string, std::string>* internals; // general entity texts
    unsigned long long expansions;
    char chunk[CHUNK];
    // The text input, whose positions are counted from its bytes (a file's are left to expat).
    const char* doc;
    bool lazyWhere;
    // Counted so far: line and column at byte `scanAt`.
    size_t scanAt;
    int scanLine, scanColumn;
};

namespace {

char* dupString(const char* s) {
    if (!s) return nullptr;
    size_t n = strlen(s) + 1;
    char* d = static_cast<char*>(malloc(n));
    if (d) memcpy(d, s, n);
    return d;
}

// Where an error text goes: at once (a call's own failure), or to wait for the reader's error
// event (the parse's: expat runs ahead of the reader, whose getters report errors of their own on
// the events before).
enum class ErrorFor { Now, ErrorEvent };

void setError(Xpp* x, ErrorFor what, int code, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
void setError(Xpp* x, ErrorFor what, int code, const char* fmt, ...) {
    char* text = what == ErrorFor::ErrorEvent ? x->parseText : x->errorText;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, ERROR_TEXT_SIZE, fmt, ap);
    va_end(ap);
    (what == ErrorFor::ErrorEvent ? x->parseCode : x->errorCode) = code;
}

// The input an internal entity's text belongs to.
const Ctx* fileCtx(const Ctx* c) {
    while (c->internal)
        c = c->prev;
    return c;
}

const char* shownName(const Ctx* c) {
    c = fileCtx(c);
    return c->fileName ? c->fileName : "<string>";
}

// Where parser p stands: inside an internal entity, at the entity's reference.
Where whereNow(const Xpp* x, XML_Parser p) {
    if (x->cur != &x->base)
        for (const Ctx* c = x->cur; c; c = c->prev)
            if (c->parser == p && c->internal) return c->ref;
    if (p && p == x->base.parser && x->lazyWhere) return {-1, -1, XML_GetCurrentByteIndex(p)};
    return {p ? static_cast<int>(XML_GetCurrentLineNumber(p)) : 0,
            p ? static_cast<int>(XML_GetCurrentColumnNumber(p)) : 0, 0};
}

// Line and column of a byte index counted as expat counts them: CR, LF and CR LF end a line, a
// UTF-8 sequence is one column. Events come in document order, so counting goes on from the last.
void resolve(Xpp* x, Where& w) {
    if (w.line >= 0) return;
    if (static_cast<size_t>(w.at) < x->scanAt) {
        x->scanAt = 0;
        x->scanLine = 1;
        x->scanColumn = 0;
    }
    int line = x->scanLine, column = x->scanColumn;
    const char* end = x->doc + w.at;
    for (const char* q = x->doc + x->scanAt; q < end; ++q) {
        if (*q == '\n' || *q == '\r') {
            if (*q == '\r' && q + 1 < end && q[1] == '\n') ++q;
            ++line;
            column = 0;
        } else if ((*q & 0xC0) != 0x80) {
            ++column;
        }
    }
    x->scanAt = static_cast<size_t>(w.at);
    x->scanLine = w.line = line;
    x->scanColumn = w.column = column;
}

// The first parse error wins: an error inside an entity makes the enclosing parser fail
// too, and that second report would hide the cause.
bool claimParseError(Xpp* x, XML_Parser p) {
    if (x->parseFailed) return false;
    x->parseFailed = true;
    Where w = whereNow(x, p);
    resolve(x, w);
    x->errorLine = w.line;
    x->errorColumn = w.column;
    return true;
}

void expatError(Xpp* x, const Ctx* c) {
    if (!claimParseError(x, c->parser)) return;
    XML_Error code = XML_GetErrorCode(c->parser);
    setError(x, ErrorFor::ErrorEvent, ERR_PARSE, "File(%s) Error(%d):%s at line %d, col %d\n", shownName(c),
             static_cast<int>(code), XML_ErrorString(code), x->errorLine, x->errorColumn);
}

// ---- event queue -------------------------------------------------------------------

// What every event sets; the rest is set by the handler of its type, and read only for that type.
void clearEvent(Event* e) {
    e->empty = 0;
    e->attrCount = 0;
    e->declCount = 0;
}
// A queue emptied by the reader frees what its events held.
void emptyStore(Xpp* x) {
    x->stringsUsed = 0;
    x->attrsUsed = 0;
    x->declsUsed = 0;
}

// Room for n more records in a growing array; false (and out of memory) when there is none.
template <typename T> bool reserve(Xpp* x, T*& array, int used, int& cap, int n) {
    if (used + n <= cap) return true;
    int ncap = cap ? cap * 2 : 64;
    while (ncap < used + n)
        ncap *= 2;
    T* a = static_cast<T*>(realloc(array, static_cast<size_t>(ncap) * sizeof(T)));
    if (!a) {
        x->oom = true;
        return false;
    }
    array = a;
    cap = ncap;
    return true;
}

// The ring's capacity is a power of two, so that indexes wrap by a mask.
bool growRing(Xpp* x) {
    int ncap = x->cap ? x->cap * 2 : 8;
    Event* n = static_cast<Event*>(calloc(static_cast<size_t>(ncap), sizeof(Event)));
    if (!n) return false;
    for (int i = 0; i < x->cap; i++)
        n[i] = x->ring[(x->head + i) & (x->cap - 1)];
    free(x->ring);
    x->ring = n;
    x->head = 0;
    x->cap = ncap;
    return true;
}

Event* tail(Xpp* x) {
    return x->count ? &x->ring[(x->head + x->count - 1) & (x->cap - 1)] : nullptr;
}

inline Event* append(Xpp* x, int type, Where where) {
    if (x->count == x->cap && !growRing(x)) {
        x->oom = true;
        return nullptr;
    }
    Event* e = &x->ring[(x->head + x->count) & (x->cap - 1)];
    x->count++;
    clearEvent(e);
    e->type = type;
    e->depth = x->depth;
    e->where = where;
    e->ctx = x->cur == &x->base ? &x->base : fileCtx(x->cur);
    return e;
}

// Where the current callback's event stands; at is the parser's byte index. The document's own
// events in a text input (nearly all) take the index alone.
inline Where whereHere(const Xpp* x, XML_Index at) {
    if (x->cur == &x->base && x->lazyWhere) return {-1, -1, at};
    return whereNow(x, x->cur->parser);
}

inline Event* appendHere(Xpp* x, int type) {
    return append(x, type, whereHere(x, XML_GetCurrentByteIndex(x->cur->parser)));
}

// Any callback after a start tag, and the end of expat's run, settle it as not empty: an
// empty-element tag has its end callback at once, in the same run.
void decideTail(Xpp* x) {
    x->tailUndecided = false;
    x->tailText = false;
}

bool growStrings(Xpp* x, size_t need) {
    size_t ncap = x->stringsCap ? x->stringsCap * 2 : 4096;
    while (ncap < need)
        ncap *= 2;
    char* nb = static_cast<char*>(realloc(x->strings, ncap));
    if (!nb) {
        x->oom = true;
        return false;
    }
    x->strings = nb;
    x->stringsCap = ncap;
    return true;
}

template <typename W> inline W loadWord(const char* s) {
    W w;
    memcpy(&w, s, sizeof w);
    return w;
}

template <typename W> inline void storeWord(char* d, W w) {
    memcpy(d, &w, sizeof w);
}

// Whether a word holds a ':' byte: the word xor ':' then holds a zero byte.
template <typename W> inline bool colonIn(W w) {
    constexpr W ones = static_cast<W>(~W{0} / 0xFF), highs = static_cast<W>(ones * 0x80);
    w ^= static_cast<W>(ones * ':');
    return (static_cast<W>(w - ones) & ~w & highs) != 0;
}

// Copies n bytes from s to d and tells whether they hold a ':'. A tag's names and values and the
// pieces of text between tags are a few bytes: two words that overlap carry them, where calls of
// memcpy and memchr would cost more than the bytes.
[[gnu::always_inline]] inline bool copyBytes(char* d, const char* s, size_t n) {
    if (n > 16) {
        memcpy(d, s, n);
        return memchr(s, ':', n) != nullptr;
    }
    if (n >= 8) {
        const uint64_t a = loadWord<uint64_t>(s), b = loadWord<uint64_t>(s + n - 8);
        storeWord(d, a);
        storeWord(d + n - 8, b);
        return colonIn(a) || colonIn(b);
    }
    if (n >= 4) {
        const uint32_t a = loadWord<uint32_t>(s), b = loadWord<uint32_t>(s + n - 4);
        storeWord(d, a);
        storeWord(d + n - 4, b);
        return colonIn(a) || colonIn(b);
    }
    bool colon = false;
    for (size_t i = 0; i < n; ++i)
        colon |= (d[i] = s[i]) == ':';
    return colon;
}

// Room for n more bytes in the store.
inline bool room(Xpp* x, size_t n) {
    return x->stringsUsed + n <= x->stringsCap || growStrings(x, x->stringsUsed + n);
}

inline size_t put(Xpp* x, const char* s, size_t n) {
    if (!room(x, n + 1)) return NONE;
    size_t off = x->stringsUsed;
    copyBytes(x->strings + off, s, n);
    x->strings[off + n] = '\0';
    x->stringsUsed += n + 1;
    return off;
}

size_t putString(Xpp* x, const char* s) {
    return s ? put(x, s, strlen(s)) : NONE;
}

// expat reports a namespaced name as URI ':' local name. A local name never holds a ':',
// so the last one separates them, whatever the URI contains ("urn:a:b", "http://h:80/").
struct Name {
    size_t qname, local, ns;
};

// The namespace of a name of n bytes in the store that holds a ':' (rare: kept out of line).
[[gnu::noinline]] void splitStored(Xpp* x, Name* r, size_t n) {
    const char* name = x->strings + r->qname;
    const size_t uri = static_cast<size_t>(static_cast<const char*>(memrchr(name, ':', n)) - name);
    if (!room(x, uri + 1)) return; // first, as the copy comes from the store itself
    r->ns = put(x, x->strings + r->qname, uri);
    r->local = r->qname + uri + 1;
}

// A name copied into the store with its zero, its namespace split off when it has one.
[[gnu::always_inline]] inline Name putName(Xpp* x, const char* name) {
    const size_t n = strlen(name);
    Name r{NONE, NONE, NONE};
    if (!room(x, n + 1)) return r;
    r.qname = r.local = x->stringsUsed;
    char* d = x->strings + x->stringsUsed;
    const bool colon = copyBytes(d, name, n);
    d[n] = '\0';
    x->stringsUsed += n + 1;
    if (colon) splitStored(x, &r, n);
    return r;
}

void splitName(Xpp* x, const char* name, size_t* qname, size_t* local, size_t* ns) {
    const Name r = putName(x, name);
    *qname = r.qname;
    *local = r.local;
    *ns = r.ns;
}
const char* str(const Xpp* x, size_t off) {
    return off == NONE ? nullptr : x->strings + off;
}

bool sameName(const char* a, const char* b) {
    if (!a || !*a) return !b || !*b;
    return b && strcmp(a, b) == 0;
}

// ---- expat callbacks ---------------------------------------------------------------

// The document's parser and internal entities in it are suspended; external entities run
// to completion inside the callback of the enclosing parser (with everything nested in them).
void stopDocument(Xpp* x) {
    for (const Ctx* c = x->cur; c != &x->base; c = c->prev)
        if (!c->internal) return;
    XML_ParsingStatus st;
    XML_GetParsingStatus(x->cur->parser, &st);
    if (st.parsing == XML_PARSING) XML_StopParser(x->cur->parser, XML_TRUE);
}

inline void suspend(Xpp* x) {
    if (x->count >= QUEUE_BATCH) stopDocument(x);
}

// Counting positions from the bytes holds for UTF-8 (and ASCII) only: a byte order mark, bytes of
// UTF-16 or another declared encoding leave it to expat.
void checkEncoding(Xpp* x, const char* start, size_t n) {
    const auto b = [&](size_t i) { return i < n ? static_cast<unsigned char>(start[i]) : 1u; };
    if (b(0) == 0xEF || b(0) == 0xFE || b(0) == 0xFF || b(0) == 0 || b(1) == 0) x->lazyWhere = false;
}

void XMLCALL onXmlDecl(void* ud, const XML_Char*, const XML_Char* encoding, int) {
    if (encoding && strcasecmp(encoding, "UTF-8") != 0 && strcasecmp(encoding, "US-ASCII") != 0)
        static_cast<Xpp*>(ud)->lazyWhere = false;
}

void abortOnMemory(Xpp* x) {
    if (claimParseError(x, x->cur->parser)) setError(x, ErrorFor::ErrorEvent, ERR_MEMORY, "out of memory");
    XML_StopParser(x->cur->parser, XML_FALSE);
}

void XMLCALL onStart(void* ud, const XML_Char* name, const XML_Char** atts) {
    Xpp* x = static_cast<Xpp*>(ud);
    XML_Parser p = x->cur->parser;
    decideTail(x);
    const XML_Index at = XML_GetCurrentByteIndex(p);
    Event* e = append(x, XPP_START_TAG, whereHere(x, at));
    if (!e) return abortOnMemory(x);
    x->tailUndecided = true;
    e->byteIndex = at;
    e->byteCount = XML_GetCurrentByteCount(p);
    e->run = x->run;
    splitName(x, name, &e->qname, &e->local, &e->ns);

    int n = 0;
    while (atts[2 * n])
        n++;
    if (!reserve(x, x->attrs, x->attrsUsed, x->attrsCap, n)) return abortOnMemory(x);
    e->attrFirst = x->attrsUsed;
    for (int i = 0; i < n; i++) {
        AttrRec* a = &x->attrs[x->attrsUsed + i];
        const Name r = putName(x, atts[2 * i]);
        a->qname = r.qname;
        a->local = r.local;
        a->ns = r.ns;
        a->value = putString(x, atts[2 * i + 1]);
    }
    x->attrsUsed += n;
    e->attrCount = n;

    e->declFirst = x->declsUsed;
    const bool declRoom =
        x->pendingCount == 0 || reserve(x, x->decls, x->declsUsed, x->declsCap, x->pendingCount);
    for (int i = 0; i < x->pendingCount; i++) {
        if (declRoom && !x->oom) {
            x->decls[x->declsUsed].prefix = putString(x, x->pending[i].prefix);
            x->decls[x->declsUsed++].uri = putString(x, x->pending[i].uri);
            e->declCount = i + 1;
        }
        free(x->pending[i].prefix);
        free(x->pending[i].uri);
    }
    x->pendingCount = 0;

    x->depth++;
    if (x->oom) return abortOnMemory(x);
    suspend(x);
}

void XMLCALL onEnd(void* ud, const XML_Char* name) {
    Xpp* x = static_cast<Xpp*>(ud);
    XML_Parser p = x->cur->parser;
    Event* t = tail(x);
    // An empty-element tag: expat calls the end handler in the same run, at the end of the
    // start tag's bytes and with no bytes of its own (internal entities have a parser of
    // their own, so this holds inside them too).
    if (x->tailUndecided && t->run == x->run && t->byteCount > 0 && XML_GetCurrentByteCount(p) == 0 &&
        XML_GetCurrentByteIndex(p) == t->byteIndex + t->byteCount) {
        x->tailUndecided = false;
        t->empty = 1;
        x->depth--;
        return;
    }
    decideTail(x);
    x->depth--;
    Event* e = appendHere(x, XPP_END_TAG);
    if (!e) return abortOnMemory(x);
    splitName(x, name, &e->qname, &e->local, &e->ns);
    if (x->oom) return abortOnMemory(x);
    suspend(x);
}

void XMLCALL onText(void* ud, const XML_Char* s, int len) {
    Xpp* x = static_cast<Xpp*>(ud);
    // expat hands text over in pieces (a line end and the indentation after it are two); the
    // pieces of one run of text are one event, whose string is the newest in the store.
    if (x->tailText && x->cur == &x->base) {
        Event* t = tail(x);
        x->stringsUsed--;
        if (put(x, s, static_cast<size_t>(len)) == NONE) return abortOnMemory(x);
        t->textLen += len;
        return;
    }
    decideTail(x);
    Event* e = appendHere(x, XPP_TEXT);
    if (!e) return abortOnMemory(x);
    e->text = put(x, s, static_cast<size_t>(len));
    e->textLen = len;
    if (x->oom) return abortOnMemory(x);
    x->tailText = x->cur == &x->base;
    suspend(x);
}

void XMLCALL onNamespaceStart(void* ud, const XML_Char* prefix, const XML_Char* uri) {
    Xpp* x = static_cast<Xpp*>(ud);
    if (x->pendingCount == x->pendingCap) {
        int ncap = x->pendingCap ? x->pendingCap * 2 : 4;
        Scope* n = static_cast<Scope*>(realloc(x->pending, static_cast<size_t>(ncap) * sizeof(Scope)));
        if (!n) return abortOnMemory(x);
        x->pending = n;
        x->pendingCap = ncap;
    }
    Scope* s = &x->pending[x->pendingCount++];
    s->prefix = dupString(prefix);
    s->uri = dupString(uri);
    s->level = 0;
    if ((prefix && !s->prefix) || (uri && !s->uri)) return abortOnMemory(x);
    if (x->boundCount == x->boundCap) {
        int ncap = x->boundCap ? x->boundCap * 2 : 8;
        Scope* n = static_cast<Scope*>(realloc(x->bound, static_cast<size_t>(ncap) * sizeof(Scope)));
        if (!n) return abortOnMemory(x);
        x->bound = n;
        x->boundCap = ncap;
    }
    Scope* b = &x->bound[x->boundCount++];
    b->prefix = dupString(prefix);
    b->uri = dupString(uri);
    if ((prefix && !b->prefix) || (uri && !b->uri)) abortOnMemory(x);
}

void XMLCALL onNamespaceEnd(void* ud, const XML_Char* prefix) {
    Xpp* x = static_cast<Xpp*>(ud);
    for (int i = x->boundCount - 1; i >= 0; i--) {
        if (!sameName(x->bound[i].prefix, prefix)) continue;
        free(x->bound[i].prefix);
        free(x->bound[i].uri);
        memmove(&x->bound[i], &x->bound[i + 1], static_cast<size_t>(x->boundCount - i - 1) * sizeof(Scope));
        x->boundCount--;
        return;
    }
}

void XMLCALL onEntityDecl(void* ud, const XML_Char* name, int isParameter, const XML_Char* value, int length,
                          const XML_Char*, const XML_Char*, const XML_Char*, const XML_Char*) {
    Xpp* x = static_cast<Xpp*>(ud);
    if (isParameter || !value || !x->internals) return;
    try {
        x->internals->emplace(name, std::string(value, static_cast<size_t>(length)));
    } catch (...) {
        abortOnMemory(x);
    }
}

// The parse context of an entity parser: the namespace bindings in force and the internal
// entities open around it (expat refuses a reference to those as recursive).
std::string entityContext(const Xpp* x) {
    std::string ctx = "xml=http://www.w3.org/XML/1998/namespace";
    for (int i = x->boundCount - 1; i >= 0; i--) {
        const Scope& b = x->bound[i];
        bool shadowed = false;
        for (int j = i + 1; j < x->boundCount && !shadowed; j++)
            shadowed = sameName(x->bound[j].prefix, b.prefix);
        if (shadowed || !b.uri || !*b.uri) continue;
        ctx += std::string("\f") + (b.prefix ? b.prefix : "") + "=" + b.uri;
    }
    for (const Ctx* c = x->cur; c && c->internal; c = c->prev)
        ctx += std::string("\f") + c->entityName;
    return ctx;
}

void freeCtx(Ctx* c) {
    if (c->parser) XML_ParserFree(c->parser);
    if (c->file) fclose(c->file);
    free(c->fileName);
    free(c->baseDir);
    free(c->entityName);
}

// An internal entity's input lives only while it is parsed: events name the file around it.
void closeInternal(Xpp* x, Ctx* c) {
    if (x->cur == c) x->cur = c->prev;
    freeCtx(c);
    free(c);
}

// An internal entity referenced in content. expat is told not to expand these (so that an
// empty-element tag inside keeps its own byte positions): its text is parsed here by an
// entity parser of the enclosing one, which keeps expat's amplification limits, counted
// against the document.
void XMLCALL onSkippedEntity(void* ud, const XML_Char* name, int isParameter) {
    Xpp* x = static_cast<Xpp*>(ud);
    Ctx* parent = x->cur;
    if (isParameter || !x->internals) return;
    auto it = x->internals->find(name);
    if (it == x->internals->end()) return; // undeclared, where expat lets that pass
    const int depth = parent->internal ? parent->internalDepth + 1 : 1;
    ++x->expansions;
    if (depth > MAX_INTERNAL_DEPTH || x->expansions * (x->internals->size() + 1) > MAX_EXPANSION_WORK) {
        if (claimParseError(x, parent->parser)) {
            if (depth > MAX_INTERNAL_DEPTH)
                setError(x, ErrorFor::ErrorEvent, ERR_PARSE,
                         "File(%s) internal entities nested deeper than %d at line %d, col %d\n",
                         shownName(parent), MAX_INTERNAL_DEPTH, x->errorLine, x->errorColumn);
            else
                setError(x, ErrorFor::ErrorEvent, ERR_PARSE,
                         "File(%s) too many internal entity expansions at line %d, col %d\n",
                         shownName(parent), x->errorLine, x->errorColumn);
        }
        XML_StopParser(parent->parser, XML_FALSE);
        return;
    }
    Ctx* c = static_cast<Ctx*>(calloc(1, sizeof(Ctx)));
    if (!c) return abortOnMemory(x);
    c->prev = parent;
    c->level = parent->level;
    c->internal = true;
    c->internalDepth = depth;
    c->ref = whereNow(x, parent->parser);
    c->entityName = dupString(name);
    std::string context;
    try {
        context = entityContext(x) + "\f" + name; // the entity itself is open inside
    } catch (...) {
    }
    if (c->entityName && !context.empty())
        c->parser = XML_ExternalEntityParserCreate(parent->parser, context.c_str(), nullptr);
    if (!c->parser) {
        closeInternal(x, c);
        return abortOnMemory(x);
    }
    x->cur = c;
    XML_Status st = XML_Parse(c->parser, it->second.data(), static_cast<int>(it->second.size()), XML_TRUE);
    if (st == XML_STATUS_SUSPENDED) {
        // The reader takes the events first; runParser resumes the entity, then this parser.
        c->suspended = true;
        XML_StopParser(parent->parser, XML_TRUE);
        return;
    }
    if (st == XML_STATUS_ERROR) {
        expatError(x, c);
        closeInternal(x, c);
        XML_StopParser(parent->parser, XML_FALSE);
        return;
    }
    closeInternal(x, c);
    suspend(x);
}

int XMLCALL onExternalEntity(XML_Parser p, const XML_Char* context, const XML_Char* base,
                             const XML_Char* systemId, const XML_Char* /*publicId*/);

void installHandlers(Xpp* x, XML_Parser p) {
    XML_SetUserData(p, x);
    XML_SetElementHandler(p, onStart, onEnd);
    XML_SetCharacterDataHandler(p, onText);
    XML_SetNamespaceDeclHandler(p, onNamespaceStart, onNamespaceEnd);
    XML_SetEntityDeclHandler(p, onEntityDecl);
    XML_SetSkippedEntityHandler(p, onSkippedEntity);
    XML_SetXmlDeclHandler(p, onXmlDecl);
    XML_SetDefaultHandler(p, nullptr); // internal entities in content come to onSkippedEntity
    if (x->extActive) {
        XML_SetExternalEntityRefHandler(p, onExternalEntity);
        XML_SetParamEntityParsing(p, XML_PARAM_ENTITY_PARSING_ALWAYS);
    }
}

// A reference that names a drive ("cfg:/x.xml") or starts at a root is taken as it stands;
// any other is relative to the declaring document's directory.
bool absolutePath(const char* p) {
    const char* colon = strchr(p, ':');
    const char* slash = strchr(p, '/');
    return p[0] == '/' || (colon && (!slash || colon < slash));
}

char* entityPath(const char* base, const char* systemId) {
    if (!base || absolutePath(systemId)) return dupString(systemId);
    size_t nb = strlen(base), ns = strlen(systemId);
    char* path = static_cast<char*>(malloc(nb + ns + 1));
    if (!path) return nullptr;
    memcpy(path, base, nb);
    memcpy(path + nb, systemId, ns + 1);
    return path;
}

// Parses an external entity (or the external DTD subset) to its end; its events join the
// queue through the handlers the entity parser inherits.
int XMLCALL onExternalEntity(XML_Parser p, const XML_Char* context, const XML_Char* base,
                             const XML_Char* systemId, const XML_Char* /*publicId*/) {
    Xpp* x = static_cast<Xpp*>(XML_GetUserData(p));
    Ctx* parent = x->cur;
    if (!systemId) return XML_STATUS_ERROR;
    if (parent->level >= XPP_MAX_ENTITY_DEPTH) {
        if (claimParseError(x, p))
            setError(x, ErrorFor::ErrorEvent, ERR_PARSE,
                     "File(%s) external entities nested deeper than %d at line %d, col %d\n",
                     shownName(parent), XPP_MAX_ENTITY_DEPTH, x->errorLine, x->errorColumn);
        return XML_STATUS_ERROR;
    }
    Ctx* c = static_cast<Ctx*>(calloc(1, sizeof(Ctx)));
    if (!c) {
        abortOnMemory(x);
        return XML_STATUS_ERROR;
    }
    c->nextAll = x->entities;
    x->entities = c;
    c->prev = parent;
    c->level = parent->level + 1;
    c->fileName = entityPath(base, systemId);
    if (c->fileName) {
        const char* slash = strrchr(c->fileName, '/');
        size_t n = slash ? static_cast<size_t>(slash - c->fileName) + 1 : 0;
        c->baseDir = static_cast<char*>(malloc(n + 1));
        if (c->baseDir) {
            memcpy(c->baseDir, c->fileName, n);
            c->baseDir[n] = '\0';
        }
    }
    if (!c->fileName || !c->baseDir) {
        abortOnMemory(x);
        return XML_STATUS_ERROR;
    }
    c->file = xmlFileOpen(c->fileName);
    if (!c->file) {
        if (claimParseError(x, p))
            setError(x, ErrorFor::ErrorEvent, ERR_PARSE, "File(%s) cannot be opened: %s\n", c->fileName,
                     strerror(errno));
        return XML_STATUS_ERROR;
    }
    c->parser = XML_ExternalEntityParserCreate(p, context, nullptr);
    if (!c->parser || XML_SetBase(c->parser, c->baseDir) != XML_STATUS_OK) {
        fclose(c->file);
        c->file = nullptr;
        if (c->parser) XML_ParserFree(c->parser);
        c->parser = nullptr;
        abortOnMemory(x);
        return XML_STATUS_ERROR;
    }

    x->cur = c;
    bool ok = true;
    char buf[CHUNK];
    for (;;) {
        size_t n = fread(buf, 1, sizeof buf, c->file);
        if (ferror(c->file)) {
            if (claimParseError(x, c->parser))
                setError(x, ErrorFor::ErrorEvent, ERR_PARSE, "File(%s) read error: %s\n", c->fileName,
                         strerror(errno));
            ok = false;
            break;
        }
        bool final = n < sizeof buf;
        x->run++;
        XML_Status st = XML_Parse(c->parser, buf, static_cast<int>(n), final);
        decideTail(x);
        if (st != XML_STATUS_OK) {
            expatError(x, c);
            ok = false;
            break;
        }
        if (final) break;
    }
    x->cur = parent;
    XML_ParserFree(c->parser);
    c->parser = nullptr;
    fclose(c->file);
    c->file = nullptr;
    if (!ok) return XML_STATUS_ERROR;
    suspend(x);
    return XML_STATUS_OK;
}

// ---- driving expat -----------------------------------------------------------------

void appendTerminal(Xpp* x, int type, int line, int column) {
    const Where where = {line, column, 0};
    x->done = true;
    Ctx* saved = x->cur;
    x->cur = &x->base;
    if (type == XPP_END_DOCUMENT) x->depth = 0;
    if (!append(x, type, where)) {
        // No room for the last event: reuse the newest slot so the reader still ends.
        Event* t = tail(x);
        if (t) {
            clearEvent(t);
            t->type = type;
        }
    }
    x->cur = saved;
}

void failInput(Xpp* x) {
    appendTerminal(x, XPP_ERROR, x->errorLine, x->errorColumn);
}

// One run of expat: resume it, or feed it the next chunk. A suspended internal entity
// goes on first; when it ends, the parser around it goes on.
[[gnu::noinline]] void runParser(Xpp* x) {
    XML_Status st;
    x->run++;
    emptyStore(x); // called with the queue empty
    while (x->cur != &x->base) {
        Ctx* e = x->cur;
        st = XML_ResumeParser(e->parser);
        decideTail(x);
        if (st == XML_STATUS_SUSPENDED) return;
        if (st == XML_STATUS_ERROR) {
            expatError(x, e);
            return failInput(x);
        }
        closeInternal(x, e);
        if (x->count) return;
    }
    Ctx* c = &x->base;
    if (c->suspended) {
        st = XML_ResumeParser(c->parser);
    } else {
        const char* data;
        size_t n;
        if (c->file) {
            n = fread(x->chunk, 1, sizeof x->chunk, c->file);
            data = x->chunk;
            if (ferror(c->file)) {
                if (claimParseError(x, c->parser))
                    setError(x, ErrorFor::ErrorEvent, ERR_PARSE, "File(%s) read error: %s\n", c->fileName,
                             strerror(errno));
                return failInput(x);
            }
        } else {
            n = c->textLeft < static_cast<size_t>(CHUNK) ? c->textLeft : static_cast<size_t>(CHUNK);
            data = c->text;
            c->text += n;
            c->textLeft -= n;
        }
        c->finalFed = n < static_cast<size_t>(CHUNK);
        st = XML_Parse(c->parser, data, static_cast<int>(n), c->finalFed);
    }
    decideTail(x);
    c->suspended = st == XML_STATUS_SUSPENDED;
    if (st == XML_STATUS_ERROR) {
        expatError(x, c);
        return failInput(x);
    }
    if (st == XML_STATUS_OK && c->finalFed)
        appendTerminal(x, XPP_END_DOCUMENT, static_cast<int>(XML_GetCurrentLineNumber(c->parser)),
                       static_cast<int>(XML_GetCurrentColumnNumber(c->parser)));
}

Event* current(Xpp* x) {
    return x && x->hasCurrent ? &x->ring[x->head] : nullptr;
}

// The namespace declarations of a start tag come into scope (rare: kept out of the reader's path).
[[gnu::noinline]] void enterScope(Xpp* x, const Event* e) {
    for (int i = 0; i < e->declCount; i++) {
        if (x->scopeCount == x->scopeCap) {
            int ncap = x->scopeCap ? x->scopeCap * 2 : 8;
            Scope* n = static_cast<Scope*>(realloc(x->scope, static_cast<size_t>(ncap) * sizeof(Scope)));
            if (!n) return;
            x->scope = n;
            x->scopeCap = ncap;
        }
        Scope* s = &x->scope[x->scopeCount++];
        s->prefix = dupString(str(x, x->decls[e->declFirst + i].prefix));
        s->uri = dupString(str(x, x->decls[e->declFirst + i].uri));
        s->level = e->depth;
    }
}

inline void enterEvent(Xpp* x, const Event* e) {
    if (e->type == XPP_START_TAG && e->declCount > 0) enterScope(x, e);
}

inline void popScope(Xpp* x, int level) {
    while (x->scopeCount > 0 && x->scope[x->scopeCount - 1].level >= level) {
        Scope* s = &x->scope[--x->scopeCount];
        free(s->prefix);
        free(s->uri);
    }
}

void leaveEvent(Xpp* x, const Event* e) {
    if (e->type == XPP_END_TAG || (e->type == XPP_START_TAG && e->empty)) popScope(x, e->depth);
}

int advance(Xpp* x) {
    Event* e = current(x);
    if (e) {
        if (e->type == XPP_END_DOCUMENT || e->type == XPP_ERROR) return e->type;
        leaveEvent(x, e);
        x->head = (x->head + 1) & (x->cap - 1);
        x->count--;
        x->hasCurrent = false;
    }
    while (x->count == 0) {
        if (x->done) return XPP_ERROR; // the final event is always queued; never spin
        runParser(x);
    }
    x->hasCurrent = true;
    enterEvent(x, &x->ring[x->head]);
    if (x->ring[x->head].type == XPP_ERROR && x->parseCode) {
        x->errorCode = x->parseCode;
        memcpy(x->errorText, x->parseText, sizeof x->errorText);
    }
    return x->ring[x->head].type;
}

void resetParse(Xpp* x) {
    while (x->cur && x->cur->internal)
        closeInternal(x, x->cur);
    while (x->entities) {
        Ctx* c = x->entities;
        x->entities = c->nextAll;
        freeCtx(c);
        free(c);
    }
    if (x->base.parser) XML_ParserFree(x->base.parser);
    if (x->base.file) fclose(x->base.file);
    free(x->base.fileName);
    x->base.parser = nullptr;
    x->base.file = nullptr;
    x->base.fileName = nullptr;
    x->base.text = nullptr;
    x->base.textLeft = 0;
    x->base.finalFed = false;
    x->base.suspended = false;
    x->cur = &x->base;
    popScope(x, -1);
    for (int i = 0; i < x->pendingCount; i++) {
        free(x->pending[i].prefix);
        free(x->pending[i].uri);
    }
    x->pendingCount = 0;
    for (int i = 0; i < x->boundCount; i++) {
        free(x->bound[i].prefix);
        free(x->bound[i].uri);
    }
    x->boundCount = 0;
    if (x->internals) x->internals->clear();
    x->expansions = 0;
    x->count = 0;
    x->head = 0;
    x->hasCurrent = false;
    x->tailUndecided = false;
    x->tailText = false;
    emptyStore(x);
    x->started = false;
    x->done = false;
    x->oom = false;
    x->depth = 0;
    x->parseFailed = false;
    x->errorCode = 0;
    x->errorText[0] = '\0';
    x->parseCode = 0;
    x->parseText[0] = '\0';
    x->doc = nullptr;
    x->lazyWhere = false;
    x->scanAt = 0;
    x->scanLine = 1;
    x->scanColumn = 0;
}

int startInput(Xpp* x, const char* path, const char* text) {
    resetParse(x);
    Ctx* c = &x->base;
    if (path) {
        c->fileName = dupString(path);
        if (!c->fileName) {
            setError(x, ErrorFor::Now, ERR_MEMORY, "calloc failed");
            return -1;
        }
    } else {
        c->text = text;
        c->textLeft = strlen(text);
        x->doc = text;
        x->lazyWhere = true;
        checkEncoding(x, text, c->textLeft);
    }
    x->extActive = x->extEnabled;
    c->parser = XML_ParserCreateNS(nullptr, ':');
    if (!c->parser) {
        setError(x, ErrorFor::Now, ERR_MEMORY, "calloc failed");
        return -1;
    }
    installHandlers(x, c->parser);
    x->started = true;
    if (XML_SetBase(c->parser, c->baseDir) != XML_STATUS_OK) {
        claimParseError(x, nullptr);
        setError(x, ErrorFor::ErrorEvent, ERR_MEMORY, "calloc failed");
        failInput(x);
    } else if (path) {
        c->file = xmlFileOpen(path);
        if (!c->file) {
            claimParseError(x, nullptr);
            setError(x, ErrorFor::ErrorEvent, ERR_PARSE, "File(%s) cannot be opened: %s\n", path,
                     strerror(errno));
            failInput(x);
        }
    }
    advance(x);
    return 0;
}

} // namespace

// ---- interface ---------------------------------------------------------------------

FILE* xmlFileOpen(const char* path) {
    // Every file of the unit lies on one of its drives ("cfg:/CAN.xml").
    return osFopen(path, "rb");
}

Xpp* xppCreate() {
    Xpp* x = static_cast<Xpp*>(calloc(1, sizeof(Xpp)));
    if (!x) return nullptr;
    x->cur = &x->base;
    x->internals = new (std::nothrow) std::unordered_map<std::string, std::string>;
    // A queue that exists from the start always has room for the final event.
    if (!x->internals || !growRing(x)) {
        xppDestroy(x);
        return nullptr;
    }
    return x;
}

int xppDestroy(Xpp* x) {
    if (!x) return 0;
    resetParse(x);
    free(x->ring);
    free(x->strings);
    free(x->attrs);
    free(x->decls);
    free(x->scope);
    free(x->pending);
    free(x->bound);
    delete x->internals;
    free(x->base.baseDir);
    free(x);
    return 0;
}

int xppSetFileInput(Xpp* x, const char* path) {
    return x && path ? startInput(x, path, nullptr) : -1;
}

int xppSetStringInput(Xpp* x, const char* text) {
    return x && text ? startInput(x, nullptr, text) : -1;
}

int xppSetExtEntBaseDir(Xpp* x, const char* dir) {
    if (!x) return -1;
    char* copy = nullptr;
    if (dir) {
        copy = dupString(dir);
        if (!copy) {
            setError(x, ErrorFor::Now, ERR_MEMORY, "calloc failed");
            return -1;
        }
    }
    Ctx* c = x->cur;
    free(c->baseDir);
    c->baseDir = copy;
    if (c->parser && XML_SetBase(c->parser, copy) != XML_STATUS_OK) {
        setError(x, ErrorFor::Now, ERR_MEMORY, "calloc failed");
        return -1;
    }
    return 0;
}

void xppSetExtEntParseEnable(Xpp* x) {
    if (x) x->extEnabled = true;
}

int xppNext(Xpp* x) {
    if (!x || !x->started) return XPP_ERROR;
    return advance(x);
}

int xppGetEventType(Xpp* x) {
    Event* e = current(x);
    return e ? e->type : XPP_ERROR;
}

namespace {
Event* tagEvent(Xpp* x) {
    Event* e = current(x);
    return e && (e->type == XPP_START_TAG || e->type == XPP_END_TAG) ? e : nullptr;
}

Event* startEvent(Xpp* x) {
    Event* e = current(x);
    return e && e->type == XPP_START_TAG ? e : nullptr;
}

const AttrRec* attr(Xpp* x, int index, Event** ev) {
    Event* e = startEvent(x);
    if (!e || index < 0 || index >= e->attrCount) return nullptr;
    *ev = e;
    return &x->attrs[e->attrFirst + index];
}

// One text of the attribute at index (field picks which), or null when there is none.
const char* attrText(Xpp* x, int index, size_t AttrRec::*field) {
    Event* e;
    const AttrRec* a = attr(x, index, &e);
    return a ? str(x, a->*field) : nullptr;
}

const char* prefixFor(Xpp* x, const char* ns, bool allowDefault) {
    if (!ns) return nullptr;
    for (int i = x->scopeCount - 1; i >= 0; i--) {
        const Scope* s = &x->scope[i];
        if (!s->uri || strcmp(s->uri, ns) != 0 || (!allowDefault && !s->prefix)) continue;
        bool shadowed = false;
        for (int j = i + 1; j < x->scopeCount && !shadowed; j++)
            shadowed = sameName(x->scope[j].prefix, s->prefix);
        if (!shadowed) return s->prefix ? s->prefix : "";
    }
    return nullptr;
}
} // namespace

const char* xppGetName(Xpp* x) {
    Event* e = tagEvent(x);
    return e ? str(x, e->local) : nullptr;
}

const char* xppGetNamespace(Xpp* x) {
    Event* e = tagEvent(x);
    return e ? str(x, e->ns) : nullptr;
}

const char* xppGetQName(Xpp* x) {
    Event* e = tagEvent(x);
    return e ? str(x, e->qname) : nullptr;
}

int xppGetAttributeCount(Xpp* x) {
    Event* e = startEvent(x);
    return e ? e->attrCount : -1;
}

int xppIndexIsOutOfBounds(Xpp* x, int index) {
    Event* e = startEvent(x);
    return !e || index < 0 || index >= e->attrCount;
}

const char* xppGetAttributeName(Xpp* x, int index) {
    return attrText(x, index, &AttrRec::local);
}

const char* xppGetAttributeQName(Xpp* x, int index) {
    return attrText(x, index, &AttrRec::qname);
}

const char* xppGetAttributeNamespace(Xpp* x, int index) {
    return attrText(x, index, &AttrRec::ns);
}

const char* xppGetAttributeValue(Xpp* x, int index) {
    return attrText(x, index, &AttrRec::value);
}

const char* xppGetAttributePrefix(Xpp* x, int index) {
    Event* e;
    const AttrRec* a = attr(x, index, &e);
    // An unprefixed attribute has no namespace, so only prefixed bindings can name it.
    return a ? prefixFor(x, str(x, a->ns), false) : nullptr;
}

const char* xppGetAttributeValueByName(Xpp* x, const char* ns, const char* name) {
    if (!x) return nullptr;
    Event* e = startEvent(x);
    for (int i = 0; e && name && i < e->attrCount; i++) {
        const AttrRec* a = &x->attrs[e->attrFirst + i];
        const char* ans = str(x, a->ns);
        bool nsMatch = ns ? ans && strcmp(ans, ns) == 0 : !ans;
        if (nsMatch && strcmp(str(x, a->local), name) == 0) return str(x, a->value);
    }
    setError(x, ErrorFor::Now, ERR_NOT_FOUND, "%s", "");
    return nullptr;
}

const char* xppLookupNamespace(Xpp* x, const char* prefix) {
    if (!x) return nullptr;
    for (int i = x->scopeCount - 1; i >= 0; i--)
        if (sameName(x->scope[i].prefix, prefix)) return x->scope[i].uri;
    return nullptr;
}

const char* xppGetPrefix(Xpp* x) {
    Event* e = tagEvent(x);
    return e ? prefixFor(x, str(x, e->ns), true) : nullptr;
}

int xppGetNamespaceCount(Xpp* x) {
    return x ? x->scopeCount : 0;
}

int xppGetTextLength(Xpp* x) {
    if (!x) return -1;
    Event* e = current(x);
    if (!e || e->type != XPP_TEXT) {
        setError(x, ErrorFor::Now, ERR_STATE, "INVALID STATE: current eventType must be TEXT");
        return -1;
    }
    return e->textLen + 1;
}

int xppGetText(Xpp* x, char* buffer, int size) {
    if (!x) return -1;
    Event* e = current(x);
    if (!e || e->type != XPP_TEXT) {
        setError(x, ErrorFor::Now, ERR_STATE, "INVALID STATE: current eventType must be TEXT");
        return -1;
    }
    if (!buffer) {
        setError(x, ErrorFor::Now, ERR_MEMORY, "memory must be allocated to buffer");
        return -1;
    }
    if (size - 1 < e->textLen) {
        setError(x, ErrorFor::Now, ERR_MEMORY, "insufficient text buffer size");
        return -1;
    }
    memcpy(buffer, x->strings + e->text, static_cast<size_t>(e->textLen));
    buffer[e->textLen] = '\0';
    return 0;
}

int xppIsWhitespace(Xpp* x) {
    Event* e = current(x);
    if (!e || e->type != XPP_TEXT) return 1;
    return XML_IsWhiteSpace(x->strings + e->text, e->textLen);
}

int xppIsEmptyElementTag(Xpp* x) {
    Event* e = startEvent(x);
    return e ? e->empty : 0;
}

int xppGetLineNumber(Xpp* x) {
    Event* e = current(x);
    if (!e) return 0;
    resolve(x, e->where);
    return e->where.line;
}

int xppGetColumnNumber(Xpp* x) {
    Event* e = current(x);
    if (!e) return 0;
    resolve(x, e->where);
    return e->where.column;
}

int xppGetDepth(Xpp* x) {
    Event* e = current(x);
    return e ? e->depth : 0;
}

const char* xppGetErrorString(Xpp* x) {
    return x ? x->errorText : "";
}

const char* xppGetFileName(Xpp* x) {
    if (!x) return nullptr;
    Event* e = current(x);
    return e && e->ctx ? e->ctx->fileName : x->base.fileName;
}

void* xppParamInit(void* param) {
    return param;
}

void* xmlParamInit(void* param) {
    return param;
}

int XML_IsWhiteSpace(const char* text, int length) {
    if (!text) return length <= 0;
    for (int i = 0; i < length; i++) {
        char c = text[i];
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return 0;
    }
    return 1;
}
