/* Default file hooks of shapelib on plain stdio, for a build from the copy
 * of shapelib in GDAL's sources (scripts/sysroot.sh): GDAL routes these
 * through its own virtual file layer and leaves them out of that copy.
 * They do what shapelib's own default hooks do. */
#include <stdio.h>
#include <stdlib.h>

#include "shapefil.h"

static SAFile HookOpen(const char *filename, const char *access) {
  return (SAFile)fopen(filename, access);
}

static SAOffset HookRead(void *p, SAOffset size, SAOffset nmemb, SAFile file) {
  return (SAOffset)fread(p, (size_t)size, (size_t)nmemb, (FILE *)file);
}

static SAOffset HookWrite(void *p, SAOffset size, SAOffset nmemb, SAFile file) {
  return (SAOffset)fwrite(p, (size_t)size, (size_t)nmemb, (FILE *)file);
}

static SAOffset HookSeek(SAFile file, SAOffset offset, int whence) {
  return (SAOffset)fseek((FILE *)file, (long)offset, whence);
}

static SAOffset HookTell(SAFile file) { return (SAOffset)ftell((FILE *)file); }

static int HookFlush(SAFile file) { return fflush((FILE *)file); }

static int HookClose(SAFile file) { return fclose((FILE *)file); }

static int HookRemove(const char *filename) { return remove(filename); }

static void HookError(const char *message) { fprintf(stderr, "%s\n", message); }

static double HookAtof(const char *text) { return atof(text); }

void SASetupDefaultHooks(SAHooks *hooks) {
  hooks->FOpen = HookOpen;
  hooks->FRead = HookRead;
  hooks->FWrite = HookWrite;
  hooks->FSeek = HookSeek;
  hooks->FTell = HookTell;
  hooks->FFlush = HookFlush;
  hooks->FClose = HookClose;
  hooks->Remove = HookRemove;
  hooks->Error = HookError;
  hooks->Atof = HookAtof;
}
