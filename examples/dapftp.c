/* dapftp: a small command-line FTP client on top of dap32.
 *
 *   dapftp [--passive|--active] [--port N] [--user NAME] [--password TEXT] [--log FILE]
 *          [--tls|--implicit-tls] [--pin HEX] [--ca FILE] [--insecure] HOST [COMMAND ...]
 *
 * --tls secures the session with AUTH TLS, --implicit-tls from the connect on (usually port
 * 990); the server's certificate must then chain to a trusted root (the system's, or those of
 * --ca FILE) and name HOST, or match the SHA-256 fingerprint --pin HEX; --insecure accepts any.
 *
 * Each COMMAND is one argument ("put notes.txt"); without any, commands are read from
 * standard input, one per line. Commands: ls [PATTERN], names [PATTERN], get NAME, put NAME,
 * reget NAME, reput NAME, mkdir DIR, rmdir DIR, rm NAME, mv FROM TO, size NAME, mtime NAME,
 * chmod MODE NAME, quote COMMAND, pwd, cd DIR, lcd DIR, binary, ascii.
 * Transfers are driven step by step to show their progress; reget and reput continue a file
 * from what the other side already holds. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "dap32.h"

/* Progress is only drawn on a terminal; the one call that asks differs by platform. */
#ifdef _WIN32
#include <io.h>
#define isTerminal(stream) _isatty(_fileno(stream))
#else
#include <unistd.h>
#define isTerminal(stream) isatty(fileno(stream))
#endif

enum { kChannel = 0, kListingSize = 1 << 20, kReplySize = 8192, kCommandSize = 2048 };

typedef struct {
  const char* host;
  const char* user;
  const char* password;
  const char* logPath;
  int port;
  int passive;
  int tls;
  int verify;
  const char* pin;
  const char* caFile;
} Options;

static char listing[kListingSize];
static char reply[kReplySize];

/* Prints the library's text for a failure, with the server's reply where it has one. */
static int report(const char* what, int32_t result) {
  char text[512];
  if (result >= 0) return 0;
  dapErrorText(kChannel, result, text, sizeof text);
  text[strcspn(text, "\r\n")] = '\0';
  fprintf(stderr, "%s failed (%d): %s\n", what, (int)result, text);
  return 1;
}

/* Drives an armed transfer to its end, showing the bytes moved so far on a terminal, once a
 * second. */
static int32_t driveWithProgress(const char* name, uint32_t counterCode) {
  int showProgress = isTerminal(stderr);
  time_t lastShown = 0;
  int32_t result;
  while ((result = dapDriver(kChannel)) > 0) {
    if (showProgress && time(NULL) != lastShown) {
      fprintf(stderr, "\r%s: %ld bytes", name, (long)dapGetInteger(kChannel, counterCode));
      lastShown = time(NULL);
    }
  }
  fprintf(stderr, "\r%s: %ld bytes\n", name, (long)dapGetInteger(kChannel, counterCode));
  return result;
}

static int transfer(const char* name, int download) {
  int32_t result;
  dapSetInteger(kChannel, DAP_SET_AUTO_CALL, 0);
  result = download ? dapGetFile(kChannel, name) : dapPutFile(kChannel, name);
  if (result == 0) {
    result = driveWithProgress(name, download ? DAP_GET_BYTES_RECEIVED : DAP_GET_BYTES_SENT);
  }
  dapSetInteger(kChannel, DAP_SET_AUTO_CALL, 1);
  return report(download ? "get" : "put", result);
}

/* Continues the file from what the other side holds; needs TYPE I (binary). */
static int resumeTransfer(const char* name, int download) {
  int failed;
  dapSetInteger(kChannel, DAP_SET_RESUME, 1);
  failed = transfer(name, download);
  dapSetInteger(kChannel, DAP_SET_RESUME, 0);
  return failed;
}

/* Sends a command built from format and up to two texts; the reply's text is in reply. Returns
 * its code, or 0 after reporting a failure: the library's, or a reply from 400 up. */
static int32_t serverCommand(const char* what, const char* format, const char* first,
                             const char* second) {
  char text[kCommandSize];
  int32_t code;
  snprintf(text, sizeof text, format, first, second);
  code = dapCommand(kChannel, text, reply, sizeof reply);
  if (report(what, code)) return 0;
  if (code >= 400) {
    fprintf(stderr, "%s failed: %s\n", what, reply);
    return 0;
  }
  return code;
}

/* "mv FROM TO" and "chmod MODE NAME" take two arguments: the first ends at a blank. */
static char* secondArgument(char* argument) {
  char* blank = strchr(argument, ' ');
  if (blank == NULL) return NULL;
  *blank = '\0';
  return blank + 1;
}

static int moveFile(char* argument) {
  char* target = secondArgument(argument);
  if (target == NULL) {
    fprintf(stderr, "mv: give FROM and TO\n");
    return 1;
  }
  if (serverCommand("mv", "RNFR %s", argument, NULL) / 100 != 3) return 1;
  return serverCommand("mv", "RNTO %s", target, NULL) == 0;
}

static int changeMode(char* argument) {
  char* name = secondArgument(argument);
  if (name == NULL) {
    fprintf(stderr, "chmod: give MODE and NAME\n");
    return 1;
  }
  return serverCommand("chmod", "SITE CHMOD %s %s", argument, name) == 0;
}

/* "213 1048576" prints 1048576; "213 20240102030405" prints 2024-01-02 03:04:05 UTC. */
static int fileFact(const char* what, const char* verb, const char* name) {
  const char* value;
  char text[kCommandSize];
  snprintf(text, sizeof text, "%s %%s", verb);
  if (serverCommand(what, text, name, NULL) == 0) return 1;
  value = reply + 4;
  if (strcmp(verb, "MDTM") == 0 && strlen(value) >= 14) {
    printf("%.4s-%.2s-%.2s %.2s:%.2s:%.2s UTC\n", value, value + 4, value + 6, value + 8,
           value + 10, value + 12);
  } else {
    printf("%s\n", value);
  }
  return 0;
}

static int quote(const char* command) {
  if (serverCommand("quote", "%s", command, NULL) == 0) return 1;
  printf("%s\n", reply);
  return 0;
}

static int list(int type, const char* pattern) {
  int32_t result;
  if (pattern != NULL) {
    snprintf(listing, sizeof listing, "%s", pattern);
    type += DAP_LIST_FULL_PATTERN;
  }
  result = dapGetList(kChannel, type, listing, sizeof listing);
  if (report("ls", result)) return 1;
  fwrite(listing, 1, (size_t)result, stdout);
  return 0;
}

static int printServerDir(void) {
  char directory[256];
  int32_t result = dapGetServerDir(kChannel, directory, sizeof directory - 1);
  if (report("pwd", result)) return 1;
  printf("%s\n", directory);
  return 0;
}

/* Runs one command line; returns non-zero when it failed. */
static int runCommand(char* line) {
  char* verb = strtok(line, " \t\r\n");
  char* argument = strtok(NULL, "\r\n");
  if (verb == NULL) return 0;
  if (strcmp(verb, "ls") == 0) return list(DAP_LIST_FULL, argument);
  if (strcmp(verb, "names") == 0) return list(DAP_LIST_NAMES, argument);
  if (strcmp(verb, "pwd") == 0) return printServerDir();
  if (strcmp(verb, "binary") == 0) return report("binary", dapSetMode(kChannel, 'B'));
  if (strcmp(verb, "ascii") == 0) return report("ascii", dapSetMode(kChannel, 'A'));
  if (argument == NULL) {
    fprintf(stderr, "%s: unknown command or missing argument\n", verb);
    return 1;
  }
  if (strcmp(verb, "get") == 0) return transfer(argument, 1);
  if (strcmp(verb, "put") == 0) return transfer(argument, 0);
  if (strcmp(verb, "reget") == 0) return resumeTransfer(argument, 1);
  if (strcmp(verb, "reput") == 0) return resumeTransfer(argument, 0);
  if (strcmp(verb, "mv") == 0) return moveFile(argument);
  if (strcmp(verb, "chmod") == 0) return changeMode(argument);
  if (strcmp(verb, "size") == 0) return fileFact("size", "SIZE", argument);
  if (strcmp(verb, "mtime") == 0) return fileFact("mtime", "MDTM", argument);
  if (strcmp(verb, "quote") == 0) return quote(argument);
  if (strcmp(verb, "cd") == 0) return report("cd", dapSetServerDir(kChannel, argument));
  if (strcmp(verb, "lcd") == 0) return report("lcd", dapSetLocalDir(kChannel, argument));
  if (strcmp(verb, "mkdir") == 0) return report("mkdir", dapMakeServerDir(kChannel, argument));
  if (strcmp(verb, "rmdir") == 0) return report("rmdir", dapDelServerDir(kChannel, argument));
  if (strcmp(verb, "rm") == 0) return report("rm", dapDelFile(kChannel, argument));
  fprintf(stderr, "%s: unknown command\n", verb);
  return 1;
}

static void usage(void) {
  fprintf(stderr,
          "usage: dapftp [--passive|--active] [--port N] [--user NAME] [--password TEXT]\n"
          "              [--log FILE] [--tls|--implicit-tls] [--pin HEX] [--ca FILE]\n"
          "              [--insecure] HOST [COMMAND ...]\n");
  exit(2);
}

static int parseOptions(int argc, char** argv, Options* options) {
  int i = 1;
  for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
    const char* option = argv[i];
    if (strcmp(option, "--passive") == 0) {
      options->passive = 1;
    } else if (strcmp(option, "--active") == 0) {
      options->passive = 0;
    } else if (i + 1 < argc && strcmp(option, "--port") == 0) {
      options->port = atoi(argv[++i]);
    } else if (i + 1 < argc && strcmp(option, "--user") == 0) {
      options->user = argv[++i];
    } else if (i + 1 < argc && strcmp(option, "--password") == 0) {
      options->password = argv[++i];
    } else if (i + 1 < argc && strcmp(option, "--log") == 0) {
      options->logPath = argv[++i];
    } else if (strcmp(option, "--tls") == 0) {
      options->tls = 1;
    } else if (strcmp(option, "--implicit-tls") == 0) {
      options->tls = 2;
    } else if (strcmp(option, "--insecure") == 0) {
      options->verify = 0;
    } else if (i + 1 < argc && strcmp(option, "--pin") == 0) {
      options->pin = argv[++i];
    } else if (i + 1 < argc && strcmp(option, "--ca") == 0) {
      options->caFile = argv[++i];
    } else {
      usage();
    }
  }
  if (i >= argc) usage();
  options->host = argv[i];
  return i + 1;
}

int main(int argc, char** argv) {
  Options options = {NULL, "anonymous", "dapftp@", NULL, 21, 1, 0, 1, NULL, NULL};
  int first = parseOptions(argc, argv, &options);
  int failures = 0;
  char line[1024];

  if (report("attach", dapAttach(1, 0))) return 1;
  if (options.logPath != NULL && dapSetString(kChannel, DAP_STR_LOG_OPEN, options.logPath) < 0) {
    fprintf(stderr, "cannot open log %s\n", options.logPath);
  }
  dapSetInteger(kChannel, DAP_SET_SERVER_PORT, options.port);
  dapSetInteger(kChannel, DAP_SET_PASSIVE, options.passive);
  dapSetInteger(kChannel, DAP_SET_TLS, options.tls);
  dapSetInteger(kChannel, DAP_SET_TLS_VERIFY, options.verify);
  if ((options.pin != NULL &&
       report("--pin", dapSetString(kChannel, DAP_STR_TLS_PIN, options.pin))) ||
      (options.caFile != NULL &&
       report("--ca", dapSetString(kChannel, DAP_STR_TLS_CA_FILE, options.caFile)))) {
    dapRelease();
    return 2;
  }
  if (report("connect", dapConnect(kChannel, options.host, options.user, options.password))) {
    dapClose(kChannel);
    dapRelease();
    return 1;
  }
  if (first < argc) {
    for (int i = first; i < argc; ++i) {
      snprintf(line, sizeof line, "%s", argv[i]);
      failures += runCommand(line);
    }
  } else {
    while (fgets(line, sizeof line, stdin) != NULL) failures += runCommand(line);
  }
  failures += report("close", dapClose(kChannel));
  dapRelease();
  return failures == 0 ? 0 : 1;
}
