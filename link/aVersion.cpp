// Packed version numbers and the library's own version.
#include "link/aVersion.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

struct aFeature {
  const char* key;
  const char* description;
};

const aFeature FEATS[] = {
    {"VERSION", "Version Query API"},
};
const size_t NUM_FEATS = sizeof(FEATS) / sizeof(FEATS[0]);

char sVersionText[15];

}  // namespace

unsigned char aVersion_ParseMajor(unsigned int packed) { return (unsigned char)(packed >> 28); }

unsigned char aVersion_ParseMinor(unsigned int packed) {
  return (unsigned char)((packed >> 24) & 0x0F);
}

unsigned int aVersion_ParsePatch(unsigned int packed) { return packed & 0x00FFFFFFu; }

int aVersion_ParseString(unsigned int packed, char* buffer, size_t size) {
  if (!buffer) size = 0;
  return snprintf(buffer, size, "%d.%d.%d", aVersion_ParseMajor(packed),
                  aVersion_ParseMinor(packed), (int)aVersion_ParsePatch(packed));
}

unsigned char aVersion_GetMajor(void) { return aVERSION_MAJOR; }
unsigned char aVersion_GetMinor(void) { return aVERSION_MINOR; }
unsigned int aVersion_GetPatch(void) { return aVERSION_PATCH; }

const char* aVersion_GetString(void) {
  if (sVersionText[0] == '\0') {
    snprintf(sVersionText, sizeof(sVersionText), "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR,
             aVERSION_PHASE, aVERSION_PATCH);
  }
  return sVersionText;
}

bool aVersion_IsAtLeast(unsigned char major, unsigned char minor, unsigned char patch) {
  if (aVERSION_MAJOR != major) return aVERSION_MAJOR > major;
  if (aVERSION_MINOR != minor) return aVERSION_MINOR > minor;
  return aVERSION_PATCH >= patch;
}

bool aVersion_HasFeature(const char* key) {
  if (!key) return false;
  for (size_t i = 0; i < NUM_FEATS; ++i) {
    if (strcmp(FEATS[i].key, key) == 0) return true;
  }
  return false;
}

char* aVersion_GetFeatureList(void) {
  std::string text;
  for (size_t i = 0; i < NUM_FEATS; ++i) {
    if (i > 0) text += "\n";
    text += FEATS[i].key;
    text += " - ";
    text += FEATS[i].description;
  }
  return strdup(text.c_str());
}

void aVersion_DestroyFeatureList(char** list) {
  if (!list) return;
  free(*list);
  *list = nullptr;
}
