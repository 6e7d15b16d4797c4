/* A host program built out of tree against an installed Ostrel: records a
 * fake-world window for a few seconds, saves a clip into the folder given as
 * its argument and checks the file is there. Exit 0 on success. */
#define _POSIX_C_SOURCE 200809L

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <wchar.h>

#include <ostrel/ostrel_sim.h>

static int Fail(const char* what, int code) {
  fprintf(stderr, "consumer: %s (%d)\n", what, code);
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 2) return Fail("usage: consumer OUTPUT_DIR", 2);
  setlocale(LC_ALL, "C.UTF-8");
  wchar_t folder[1024];
  if (mbstowcs(folder, argv[1], 1024) == (size_t)-1) return Fail("folder name", 0);

  if (strcmp(Ostrel_GetAppVersion(), "0.1.1") != 0) return Fail("version", 0);
  int code = Ostrel_GlobalInitialize();
  if (code != 0) return Fail("Ostrel_GlobalInitialize", code);
  void* window = OstrelSim_CreateWindow(640, 360);
  if (window == NULL) return Fail("OstrelSim_CreateWindow", 0);
  code = Ostrel_StartCapture(window, false, 0, 30, 0, 10);
  if (code != 0) return Fail("Ostrel_StartCapture", code);

  struct timespec wait = {3, 0};
  nanosleep(&wait, NULL);

  wchar_t path[1024];
  code = Ostrel_SaveClipNow(folder, path, 1024);
  Ostrel_StopCapture();
  Ostrel_GlobalShutdown();
  if (code != 0) return Fail("Ostrel_SaveClipNow", code);

  char narrow[4096];
  if (wcstombs(narrow, path, sizeof narrow) == (size_t)-1) return Fail("clip path", 0);
  FILE* clip = fopen(narrow, "rb");
  if (clip == NULL) return Fail("clip missing", 0);
  fseek(clip, 0, SEEK_END);
  const long size = ftell(clip);
  fclose(clip);
  if (size < 1024) return Fail("clip too small", (int)size);
  printf("consumer: saved %s (%ld bytes)\n", narrow, size);
  return 0;
}
