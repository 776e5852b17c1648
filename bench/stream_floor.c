/* The least a durable replacement of a file costs when the content passes through one small
 * buffer instead of memory of the file's size: for each file named, copy it 64 KiB at a time to a
 * new file beside it, flush that to disk, rename it over the file and flush the directory. No
 * conversion, no checks, no metadata carried over.
 *
 *   stream_floor FILE...
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static unsigned char buffer[65536];

static int sync_directory_of(const char *path) {
  char directory[4096];
  snprintf(directory, sizeof directory, "%s", path);
  char *slash = strrchr(directory, '/');
  if (slash == NULL) {
    strcpy(directory, ".");
  } else {
    *slash = '\0';
  }
  int dir = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int failed = dir < 0 || fsync(dir) != 0;
  if (dir >= 0) {
    close(dir);
  }
  return failed;
}

static int replace(const char *path) {
  int in = open(path, O_RDONLY | O_CLOEXEC);
  char temporary[4096];
  snprintf(temporary, sizeof temporary, "%s.floor-tmp", path);
  int out = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (in < 0 || out < 0) {
    return 1;
  }
  for (;;) {
    ssize_t got = read(in, buffer, sizeof buffer);
    if (got < 0) {
      return 1;
    }
    if (got == 0) {
      break;
    }
    if (write(out, buffer, (size_t)got) != got) {
      return 1;
    }
  }
  close(in);
  if (fsync(out) != 0 || close(out) != 0 || rename(temporary, path) != 0) {
    return 1;
  }
  return sync_directory_of(path);
}

int main(int argc, char **argv) {
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    failed |= replace(argv[i]);
  }
  return failed;
}
