// Packed version numbers (major bits 31-28, minor 27-24, patch 23-0) and the
// library's own version.
#ifndef QN_LINK_AVERSION_H
#define QN_LINK_AVERSION_H

#include <stddef.h>

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 8
#define aVERSION_PATCH 7
#define aVERSION_PHASE "."

unsigned char aVersion_ParseMajor(unsigned int packed);
unsigned char aVersion_ParseMinor(unsigned int packed);
unsigned int aVersion_ParsePatch(unsigned int packed);
int aVersion_ParseString(unsigned int packed, char* buffer, size_t size);
unsigned char aVersion_GetMajor(void);
unsigned char aVersion_GetMinor(void);
unsigned int aVersion_GetPatch(void);
// Static buffer filled on first use (not thread-safe on first call).
const char* aVersion_GetString(void);
bool aVersion_IsAtLeast(unsigned char major, unsigned char minor, unsigned char patch);
bool aVersion_HasFeature(const char* key);
// Caller frees with aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList(void);
void aVersion_DestroyFeatureList(char** list);

#endif  // QN_LINK_AVERSION_H
