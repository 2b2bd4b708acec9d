// The field lookup of header.cpp as a state machine over a stream: each byte
// is seen once, in order, so a field is found wherever the response's pieces
// are cut and however long the block before it is.
#include "http/fieldcatch.h"

#include <string.h>

namespace {

enum State {
    kName,     // at a logical line's start or inside its name; `matched` bytes so far
    kSkip,     // in a line that is not the field
    kSkipCr,   // after a CR in such a line
    kNextLine, // after such a line's end: a continuation, a new line or the empty line
    kBlanks,   // after the name: spaces and tabs
    kValue,    // copying the value
    kValueCr,  // after a CR in the value
    kFold,     // after a line end in the value: a space or tab continues it
    kDone,
};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }
bool IsFoldByte(char c) { return c == ' ' || c == '\t'; }

void Keep(FieldCatch* c, char b) {
    if (c->kept + 1 < c->capacity) {
        c->value[c->kept++] = b;
        c->value[c->kept] = '\0';
    } else {
        c->overlong = true;
    }
}

// A value has ended. A list field walks on to its next line; `more` tells
// whether the byte in hand may start one (false: the stream ended there).
void Found(FieldCatch* c, bool more) {
    c->found = true;
    c->state = c->everyLine && more ? kNextLine : kDone;
}

// One byte; false when the byte must be looked at again in the new state.
bool Step(FieldCatch* c, char b) {
    switch (c->state) {
        case kName:
            if (b != '\0' && Lower(b) == Lower(c->name[c->matched])) {
                if (c->name[++c->matched] == '\0') {
                    c->matched = 0;
                    c->state = kBlanks;
                }
                return true;
            }
            c->state = b == '\0' ? kDone : kSkip;
            return b == '\0';
        case kSkip:
            if (b == '\0') c->state = kDone;
            if (b == '\r') c->state = kSkipCr;
            if (b == '\n') c->state = kNextLine;
            return true;
        case kSkipCr:
            c->state = kNextLine;
            return b == '\n';
        case kNextLine:
            if (IsFoldByte(b)) {
                c->state = kSkip;
                return true;
            }
            if (b == '\0' || b == '\r' || b == '\n') {
                c->state = kDone;  // the empty line ends the search
                return true;
            }
            c->matched = 0;
            c->state = kName;
            return false;
        case kBlanks:
            if (IsFoldByte(b)) return true;
            // A later line of a list field is joined to the ones before.
            if (c->found) {
                Keep(c, ',');
                Keep(c, ' ');
            }
            c->state = kValue;
            return false;
        case kValue:
            if (b == '\0') {
                Found(c, false);
            } else if (b == '\r') {
                c->state = kValueCr;
            } else if (b == '\n') {
                c->state = kFold;
            } else {
                Keep(c, b);
            }
            return true;
        case kValueCr:
            c->state = kFold;
            return b == '\n';
        case kFold:
            if (IsFoldByte(b)) {
                c->state = kValue;  // the line end and this one byte are dropped
                return true;
            }
            Found(c, true);
            return !c->everyLine;  // the byte starts the next line
        default:
            return true;
    }
}

}  // namespace

void FieldCatchStart(FieldCatch* c, const char* name, char* value, size_t capacity) {
    memset(c, 0, sizeof *c);
    c->name = name;
    c->value = value;
    c->capacity = capacity;
    // An empty name matches at once, as a comparison of no bytes does.
    c->state = name[0] == '\0' ? kBlanks : kName;
    value[0] = '\0';
}

void FieldCatchStartList(FieldCatch* c, const char* name, char* value, size_t capacity) {
    FieldCatchStart(c, name, value, capacity);
    c->everyLine = true;
}

void FieldCatchFeed(FieldCatch* c, const char* bytes, size_t n) {
    for (size_t i = 0; i < n && c->state != kDone;) {
        if (Step(c, bytes[i])) ++i;
    }
}

void FieldCatchEnd(FieldCatch* c) {
    if (c->state == kBlanks || c->state == kValue || c->state == kValueCr || c->state == kFold) {
        Found(c, false);
    }
    c->state = kDone;
}
