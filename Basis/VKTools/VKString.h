// The user-side heap string: a zero-terminated byte text in an owned buffer with a kept capacity
// and a cached length. Buffers made by construction and assignment leave 32 bytes free after the
// terminating zero; appending a character to a full buffer doubles it.
//
// VKScanner cuts one delimited, optionally double-quoted token off a text.
//
// Thread safety: none; one string is used by one thread at a time.
#pragma once

#include "VKObject.h"

// The length-prefixed form: byte 0 is the number of characters that follow.
typedef unsigned char Str255[256];

class VKString : public VKObject
{
public:
    VKString();
    VKString(const char* text);
    // `count` copies of `c`; the empty text for a count of 0 or below.
    VKString(char c, int count);
    VKString(const VKString& other);
    VKString& operator=(const VKString& other) { return assign(other); }
    VKString& operator=(const char* text) { return assign(text); }
    ~VKString() override;

    VKString& clear();
    VKString& assign(const char* text);
    VKString& assign(const VKString& other);
    VKString& operator+=(char c);
    VKString& operator+=(const char* text);
    // Makes the buffer at least `size` bytes (capacity size + 1 when it grows).
    VKString& setSize(int size);
    // Cuts the text, or pads it with blanks, to `length` characters.
    VKString& setLength(int length);
    // Recounts the length up to the first zero byte, after writing into the buffer directly.
    VKString& countLength();
    int getLength() const { return m_length; }
    int getCapacity() const { return m_capacity; }
    bool isEmpty() const { return m_length == 0; }
    operator const char*() const { return m_buffer; }
    // The zero-terminated text; with `nullWhenEmpty`, null for the empty text.
    const char* getCharPointer(bool nullWhenEmpty = false) const
    {
        return (nullWhenEmpty && m_length == 0) ? nullptr : m_buffer;
    }
    // The buffer for direct writes of at most getCapacity() bytes; call countLength afterwards.
    char* getBuffer() { return m_buffer; }

    // -1, 0 or 1 from the byte-wise comparison with another VKString.
    int compare(const VKObject& other) const override;
    bool operator==(const VKObject& other) const { return compare(other) == 0; }
    int strcmp(const char* text) const;
    int stricmp(const char* text) const;
    // Index of the first occurrence of `text`, -1 when there is none.
    int match(const char* text) const;

    // `out` = up to `count` characters from `start`; empty when start is outside 0..length or count < 1.
    void substring(VKString& out, int start, int count) const;
    void left(VKString& out, int count) const;
    void right(VKString& out, int count) const;
    VKString& trimLeft();
    VKString& trimRight();
    VKString& uppercase();
    VKString& lowercase();
    // Replaces every occurrence left to right; inserted text is never searched again.
    VKString& replace(const char* find, const char* replacement);
    // Takes the first token (delimited by any of `delimiters`) off the front of the text, together
    // with the one delimiter after it. False, with an empty token, when no token is left.
    bool getToken(const char* delimiters, VKString& token);

    VKString& printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    VKString& toString(int value);
    VKString& toString(short value);
    // The decimal integer at the start of the text (after white space); 0 when there is none.
    int scanInt() const;
    // Same, with the C library's text-to-long rules; 0 when there is no number.
    long asInteger() const;
    // Digits, '-', '.', 'E' and 'e' are kept, T/t read as thousand and M/m as million, every
    // other character is dropped: "12.5k" is 12.5, "3M" 3000000, "1,000" 1000.
    double toDouble() const;
    // A new zero-filled array of length + 1 bytes holding the text; free it with delete[].
    char* copyString() const;
    // Copies at most `maximum` characters (all when -1) and a zero byte into `destination`.
    char* copyString(char* destination, int maximum) const;
    // Length byte min(length, 255), those characters, zero bytes up to the end.
    void toStr255(Str255 out) const;
    void asString(const Str255 in);
    // Two upper-case hexadecimal digits per character.
    void toHexString(VKString& out) const;

private:
    // Replaces the text by `count` bytes at `text`, which may lie inside this string's buffer.
    void assignBytes(const char* text, int count);
    // Appends `count` bytes at `text`, which may lie inside this string's buffer.
    void appendBytes(const char* text, int count);
    void allocate(int capacity);
    // Applies `map` to every ASCII character of the text.
    VKString& mapAscii(int (*map)(int));

    char* m_buffer = nullptr;
    int m_capacity = 0;
    int m_length = 0;
};

class VKScanner
{
public:
    virtual ~VKScanner() = default;

    // Cuts the next token off `text` into `token`: blanks before it are skipped, the delimiter
    // ends it outside double quotes, surrounding quotes are removed and a backslash escapes
    // '"', '\', '(' and ')'. Returns where the following token starts, or null after the last one.
    static const char* scanNextToken(const char* text, VKString& token, char delimiter);
};
