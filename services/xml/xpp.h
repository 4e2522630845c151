// XML pull parser over expat: the reader asks for the next event (xppNext) and reads
// the names, attributes or text of the current event through the getters.
//
// Everything runs in the caller's task. expat is suspended after each callback and its
// events are copied into a small queue; a start tag is held back until the next callback
// (or the end of expat's run) tells whether it closed itself, so a self-closed tag gives
// one start event flagged empty and no end event. Strings returned by the getters stay
// valid until the next xppNext, xppSet*Input or xppDestroy.
#pragma once

struct Xpp;

// Event types.
constexpr int XPP_START_TAG = 0;
constexpr int XPP_TEXT = 1;
constexpr int XPP_END_TAG = 2;
constexpr int XPP_END_DOCUMENT = 3;
constexpr int XPP_ERROR = -1;

// Deepest nesting of external entities (each one opens a further parser).
constexpr int XPP_MAX_ENTITY_DEPTH = 8;

Xpp* xppCreate();
int xppDestroy(Xpp* x);

// Start parsing and deliver the first event: 0 when an event is there (which may be
// XPP_ERROR, e.g. for a file that cannot be opened), -1 when the parser could not be set up.
int xppSetFileInput(Xpp* x, const char* path);
// The text is not copied; it must outlive the parse.
int xppSetStringInput(Xpp* x, const char* text);
// Directory that relative system ids of external entities are resolved against; it is
// prepended as it stands, so it normally ends with '/'.
int xppSetExtEntBaseDir(Xpp* x, const char* dir);
// From the next input on, external entities (and the external DTD subset) are parsed.
void xppSetExtEntParseEnable(Xpp* x);

// Next event type. After XPP_END_DOCUMENT or XPP_ERROR the same type is returned again.
int xppNext(Xpp* x);
int xppGetEventType(Xpp* x);

// Start and end tags: local name, namespace URI (null without one) and the name as expat
// reports it ("uri:local"); null for other events.
const char* xppGetName(Xpp* x);
const char* xppGetNamespace(Xpp* x);
const char* xppGetQName(Xpp* x);

// Attributes of a start tag; -1 / null outside a start tag or for an index out of range.
int xppGetAttributeCount(Xpp* x);
int xppIndexIsOutOfBounds(Xpp* x, int index);
const char* xppGetAttributeName(Xpp* x, int index);
const char* xppGetAttributeQName(Xpp* x, int index);
const char* xppGetAttributeNamespace(Xpp* x, int index);
const char* xppGetAttributeValue(Xpp* x, int index);
const char* xppGetAttributePrefix(Xpp* x, int index);
// First attribute with this namespace (null: attributes without one) and local name.
const char* xppGetAttributeValueByName(Xpp* x, const char* ns, const char* name);

// Namespace declarations in scope at the current event (prefix null or "" = default).
const char* xppLookupNamespace(Xpp* x, const char* prefix);
// Prefix bound to the current tag's namespace ("" for the default namespace), else null.
const char* xppGetPrefix(Xpp* x);
int xppGetNamespaceCount(Xpp* x);

// Text events: length + 1 (room for the zero), and a copy into a caller's buffer.
int xppGetTextLength(Xpp* x);
int xppGetText(Xpp* x, char* buffer, int size);
int xppIsWhitespace(Xpp* x);

int xppIsEmptyElementTag(Xpp* x);
int xppGetLineNumber(Xpp* x);
int xppGetColumnNumber(Xpp* x);
int xppGetDepth(Xpp* x);
const char* xppGetErrorString(Xpp* x);
// File the current event comes from (null for text input).
const char* xppGetFileName(Xpp* x);

void* xppParamInit(void* param);
void* xmlParamInit(void* param);

// 1 when every one of the length characters is space, tab, carriage return or line feed.
int XML_IsWhiteSpace(const char* text, int length);
