// ui: the DKB agent image compiled into the program. Called once by start-up, which hands the
// bytes to the download threads.
//
// The bytes come from the file BW_DKB_IMAGE chosen at configure time (the repository's stand-in
// by default; a factory build points it at the phone maker's agent).
#pragma once

enum { DKB_IMAGE_RESOURCE_ID = 153 };

// Pointer to the embedded image and its length in *pRetSize. The bytes live for the whole
// process and are never freed. Any id but DKB_IMAGE_RESOURCE_ID yields null and size 0.
const unsigned char *load_flasher_image(int resourceID, int *pRetSize);
