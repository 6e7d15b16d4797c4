/* A host program built out of tree against an installed Ostrel: records a
 * fake-world window for a few seconds, saves a clip into the folder given as
 * its argument and checks the file is there. Exit 0 on success. */
#define _POSIX_C_SOURCE 200809L

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <wchar.h>

#include <ostrel/ostrel_sim.h>

static int Fail(const char* what, int code) {
  fprintf(stderr, "consumer: %s (%d)\n", what, code);
  return 1;
}

int main(int argc, char** argv) {
  wchar_t folder[1024], path[1024];
  char narrow[4096];
  struct timespec wait = {3, 0};
  struct stat clip;
  setlocale(LC_ALL, "C.UTF-8");
  if (argc != 2 || mbstowcs(folder, argv[1], 1024) == (size_t)-1) return Fail("usage: consumer OUTPUT_DIR", 2);
  if (strcmp(Ostrel_GetAppVersion(), "0.1.1") != 0) return Fail("version", 0);
  int code = Ostrel_GlobalInitialize();
  if (code != 0) return Fail("Ostrel_GlobalInitialize", code);
  code = Ostrel_StartCapture(OstrelSim_CreateWindow(640, 360), false, 0, 30, 0, 10);
  if (code != 0) return Fail("Ostrel_StartCapture", code);
  nanosleep(&wait, NULL);
  code = Ostrel_SaveClipNow(folder, path, 1024);
  Ostrel_StopCapture();
  Ostrel_GlobalShutdown();
  if (code != 0) return Fail("Ostrel_SaveClipNow", code);
  if (wcstombs(narrow, path, sizeof narrow) == (size_t)-1 || stat(narrow, &clip) != 0) return Fail("clip missing", 0);
  if (clip.st_size < 1024) return Fail("clip too small", (int)clip.st_size);
  printf("consumer: saved %s (%ld bytes)\n", narrow, (long)clip.st_size);
  return 0;
}
