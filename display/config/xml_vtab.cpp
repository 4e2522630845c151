// Verbal tables: number-to-text tables held as AVL trees. The file lists each table's numbers in
// rising (unsigned) order, so every insertion appends the new greatest entry.
#include <cstdlib>
#include <cstring>

#include "display/config/xml_scan.h"

namespace {

// The VerbTab start tag with its attributes; name and default go to table when given.
int parse_vtab_head(xml_scan_s* scan, vtab_s* table) {
    bool seen_name = false, seen_default = false;
    auto on_attr = [&](const xml_token_s& tok) {
        if (std::strcmp(tok.name, "name") == 0) {
            if (seen_name) return xml_fail("parse error: parameter name found twice", scan);
            if (table) xml_copy_text(table->name, sizeof table->name, tok.value);
            seen_name = true;
        } else if (std::strcmp(tok.name, "default") == 0) {
            if (seen_default) return xml_fail("parse error: parameter default found twice", scan);
            if (table) xml_copy_text(table->default_text, sizeof table->default_text, tok.value);
            seen_default = true;
        }
        return 0;
    };
    if (xml_read_start_tag(scan, "VerbTab", TOK_TAG_END, "parse error: expecting vtab open tag",
                           "parse error: expecting paramters of vtab type", on_attr) < 0)
        return -1;
    if (!seen_name || !seen_default) return xml_fail("not all attributes found", scan);
    return 0;
}

} // namespace

void XmlInitVTab(vtab_entry_s* entry) {
    entry->text[0] = '\0';
    entry->num = 0;
}

int XmlParseVTabTag(xml_scan_s* scan, vtab_entry_s* entry) {
    XmlInitVTab(entry);
    bool seen_str = false, seen_num = false;
    auto on_attr = [&](const xml_token_s& tok) {
        if (std::strcmp(tok.name, "str") == 0 && !seen_str) {
            xml_copy_text(entry->text, sizeof entry->text, tok.value);
            seen_str = true;
        } else if (std::strcmp(tok.name, "num") == 0 && !seen_num) {
            if (XmlGetInt(tok.value, &entry->num, INT32_MIN, INT32_MAX) < 0)
                return xml_fail("parse error: expecting vtab tag", scan);
            seen_num = true;
        } else { // unknown or repeated
            return xml_fail("parse error: expecting vtab tag", scan);
        }
        return 0;
    };
    if (xml_read_start_tag(scan, "Tab", TOK_EMPTY_END, "parse error: expecting vtab tag",
                           "parse error: expecting vtab tag", on_attr) < 0)
        return -1;
    if (!seen_str || !seen_num) return xml_fail("parse error: expecting vtab tag", scan);
    return 0;
}

int XmlCheckVTabs(xml_scan_s* scan, uint16_t* counter) {
    if (parse_vtab_head(scan, nullptr) < 0) return -1;
    bool have_prev = false;
    uint32_t prev = 0;
    vtab_entry_s scratch;
    xml_scan_s ahead;
    xml_token_s tok;
    for (;;) {
        if (xml_peek(scan, &ahead, &tok) < 0) return -1;
        if (xml_is_end(tok, "VerbTab")) {
            *scan = ahead;
            return 0;
        }
        if (XmlParseVTabTag(scan, &scratch) < 0) return -1;
        uint32_t num = static_cast<uint32_t>(scratch.num);
        if (have_prev && num <= prev) return xml_fail("parse error: vtabs not sorted", scan);
        if (*counter == UINT16_MAX) return xml_fail("parse error: too many verbal table entries", scan);
        ++*counter;
        prev = num;
        have_prev = true;
    }
}

int XmlParseVTabs(xml_scan_s* scan, vtab_s* table, vtab_entry_s** cursor, vtab_entry_s* end) {
    if (parse_vtab_head(scan, table) < 0) return -1;
    xml_scan_s ahead;
    xml_token_s tok;
    for (;;) {
        if (xml_peek(scan, &ahead, &tok) < 0) return -1;
        if (xml_is_end(tok, "VerbTab")) {
            *scan = ahead;
            return 0;
        }
        // The first pass sized the array for this very text; guard it all the same.
        if (*cursor >= end) return xml_fail("parse error: too many verbal table entries", scan);
        vtab_entry_s* e = *cursor;
        if (XmlParseVTabTag(scan, e) < 0) return -1;
        e->parent = e->left = e->right = nullptr;
        e->balance = 0;
        XmlAVLinsert(&table->root, e);
        ++*cursor;
    }
}

int XmlParseVTab(xml_scan_s* scan, display_s* d) {
    // A later VerbTabs replaces the tables read before; nothing refers to them yet.
    d->vtabs = nullptr;
    std::free(d->vtab_array);
    std::free(d->vtab_entry_array);
    d->vtab_array = nullptr;
    d->vtab_entry_array = nullptr;

    xml_token_s tok;
    if (XmlGetTok(scan, &tok) < 0) return -1;
    if (!xml_is_start(tok, "VerbTabs")) return xml_fail("parse error: expecting vtabs open tag", scan);
    const xml_scan_s body = *scan;

    uint16_t tables = 0, entries = 0;
    xml_scan_s ahead;
    for (;;) {
        if (xml_peek(scan, &ahead, &tok) < 0) return -1;
        if (xml_is_end(tok, "VerbTabs")) break;
        if (tables == UINT16_MAX) return xml_fail("parse error: too many verbal tables", scan);
        if (XmlCheckVTabs(scan, &entries) < 0) return -1;
        ++tables;
    }

    d->vtab_array = static_cast<vtab_s*>(std::calloc(static_cast<size_t>(tables) + 1, sizeof(vtab_s)));
    d->vtab_entry_array =
        static_cast<vtab_entry_s*>(std::calloc(static_cast<size_t>(entries) + 1, sizeof(vtab_entry_s)));
    if (!d->vtab_array || !d->vtab_entry_array) {
        std::free(d->vtab_array);
        std::free(d->vtab_entry_array);
        d->vtab_array = nullptr;
        d->vtab_entry_array = nullptr;
        return xml_fail("could not get memory for display objects", nullptr);
    }

    *scan = body;
    vtab_entry_s* cursor = d->vtab_entry_array;
    vtab_entry_s* end = d->vtab_entry_array + entries + 1;
    for (uint16_t i = 0;; ++i) {
        if (xml_peek(scan, &ahead, &tok) < 0) return -1;
        if (xml_is_end(tok, "VerbTabs")) {
            *scan = ahead;
            return 0;
        }
        if (i >= tables) return xml_fail("parse error: too many verbal tables", scan);
        vtab_s* t = &d->vtab_array[i];
        t->root = nullptr;
        t->next = nullptr;
        if (XmlParseVTabs(scan, t, &cursor, end) < 0) return -1;
        t->next = d->vtabs;
        d->vtabs = t;
    }
}

void XmlAVLinsert(vtab_entry_s** root, vtab_entry_s* entry) {
    if (!*root) {
        entry->parent = nullptr;
        *root = entry;
        return;
    }
    vtab_entry_s* r = *root;
    while (r->right)
        r = r->right;
    r->right = entry;
    entry->parent = r;
    // The right subtree of every node on the path up has grown by one.
    for (vtab_entry_s* p = r;;) {
        if (p->balance < 0) {
            p->balance = 0;
            return;
        }
        if (p->balance == 0) {
            p->balance = 1;
            if (!p->parent) return;
            p = p->parent;
            continue;
        }
        // Right-heavy twice: rotate left at p.
        vtab_entry_s* c = p->right;
        vtab_entry_s* up = p->parent;
        c->parent = up;
        if (!up)
            *root = c;
        else
            up->right = c;
        p->right = c->left;
        if (c->left) c->left->parent = p;
        c->left = p;
        p->parent = c;
        p->balance = 0;
        c->balance = 0;
        return;
    }
}

vtab_s* XmlSearchVTab(vtab_s* first, const char* name) {
    if (!name) return nullptr;
    for (vtab_s* t = first; t; t = t->next)
        if (std::strcmp(t->name, name) == 0) return t;
    return nullptr;
}

int XmlVTabOutput(const vtab_s* vtab, uint32_t value, char* out) {
    if (!vtab || !out) return -1;
    const vtab_entry_s* e = vtab->root;
    while (e) {
        uint32_t num = static_cast<uint32_t>(e->num);
        if (num == value) {
            xml_copy_text(out, 255, e->text);
            return 0;
        }
        e = num > value ? e->left : e->right;
    }
    xml_copy_text(out, 255, vtab->default_text);
    return 0;
}
