// The update itself: bringing the MCU into its boot loader and streaming
// the image to it record by record.  The boot loader takes raw I2C block
// writes at command byte 0xFF, no frames.
//
// REQUIRES (all of these): the caller holds the bus lock for the whole
// update, so that no other program's frame lands in the middle of it.
#pragma once

#include <cstdio>

#include "tools/fwupdate/update_file.h"

// An update file opened and checked before anything goes to the MCU.
struct UpdateSource {
  std::FILE* file = nullptr;
  UpdateImage image;
};

// Opens and checks the file.  On failure prints why ("File open error", or
// the sizes and what is wrong with them) and returns false.
bool OpenUpdateSource(const char* path, UpdateSource& source);
void CloseUpdateSource(UpdateSource& source);

// One header, or one record, as block writes at command byte 0xFF.
bool SendUpdateHeader(UpdateTag tag, uint32_t address);
bool SendUpdateRecord(const UpdateRecord& record);

// Reads the identity block and, unless the MCU already runs its boot
// loader, asks it to enter the loader (three tries, a second apart).
// True when the loader runs.
bool EnterBootLoader();

// Sends record 0, the rest of the image and the closing header, drawing
// the progress bar.  True after "Update OK".
bool TransferImage(UpdateSource& source);
