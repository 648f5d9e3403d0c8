/* Automation strings: length-prefixed 16-bit character strings from one shared
   allocator. A string is a pointer to zero-terminated 16-bit characters with
   their byte length stored as a 32-bit count right before them. */
#ifndef AUTOMATION_STRINGS_H
#define AUTOMATION_STRINGS_H

#include <stdint.h>

#if defined(_WIN32)
/* Windows: the platform's own allocator, OLEAUT32 (link with -loleaut32). */
#include <windows.h>
#include <oleauto.h>

typedef OLECHAR AutomationChar;
typedef BSTR AutomationString;
#else
#ifndef __cplusplus
#include <uchar.h>
#endif

#define AUTOMATION_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef char16_t AutomationChar;
typedef AutomationChar* AutomationString;

/* A copy of text up to its first zero character; null for a null text or
   when memory runs out. */
AUTOMATION_API AutomationString SysAllocString(const AutomationChar* text);
/* A string of length characters, copied from text when it is not null (else
   zero-filled), always followed by a zero character. */
AUTOMATION_API AutomationString SysAllocStringLen(const AutomationChar* text, uint32_t length);
/* Length in characters and in bytes, from the prefix; 0 for null. */
AUTOMATION_API uint32_t SysStringLen(AutomationString text);
AUTOMATION_API uint32_t SysStringByteLen(AutomationString text);
/* Releases a string of this allocator; null is a no-op. */
AUTOMATION_API void SysFreeString(AutomationString text);

/* A new string holding zero-terminated UTF-8 text as UTF-16 (characters
   beyond U+FFFF as surrogate pairs), for the path arguments of MirnDLL; null
   for a null text, text that is not valid UTF-8 (a stray or cut-off byte, an
   over-long form, a surrogate, beyond U+10FFFF) or when memory runs out.
   Release it with SysFreeString, or pass it to a call that releases it.
   Not a platform function: on Windows, convert with MultiByteToWideChar. */
AUTOMATION_API AutomationString AutomationStringFromUtf8(const char* utf8);

#ifdef __cplusplus
}
#endif
#endif /* _WIN32 */

#endif
