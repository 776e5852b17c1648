/* The least a durable replacement of a file costs, one process per run like the programs it is
 * measured against: for each file named, read it whole, write the same bytes to a new file beside
 * it, flush that to disk, rename it over the file and flush the directory. No conversion, no
 * checks, no metadata carried over.
 *
 *   floor FILE...
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int replace(const char *path) {
  int in = open(path, O_RDONLY | O_CLOEXEC);
  struct stat status;
  if (in < 0 || fstat(in, &status) != 0) {
    return 1;
  }
  size_t size = (size_t)status.st_size;
  unsigned char *content = malloc(size ? size : 1);
  if (content == NULL || read(in, content, size) != (ssize_t)size) {
    return 1;
  }
  close(in);

  char temporary[4096];
  snprintf(temporary, sizeof temporary, "%s.floor-tmp", path);
  int out = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0 || write(out, content, size) != (ssize_t)size || fsync(out) != 0 ||
      close(out) != 0 || rename(temporary, path) != 0) {
    return 1;
  }
  free(content);

  char directory[4096];
  snprintf(directory, sizeof directory, "%s", path);
  char *slash = strrchr(directory, '/');
  if (slash == NULL) {
    strcpy(directory, ".");
  } else {
    *slash = '\0';
  }
  int dir = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 || fsync(dir) != 0) {
    return 1;
  }
  close(dir);
  return 0;
}

int main(int argc, char **argv) {
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    failed |= replace(argv[i]);
  }
  return failed;
}
