/* Test fixture (Linux side of the Windows serial tests under Wine): the far
 * end of a COM port, driven by the Windows test program over a local TCP
 * connection, since a program under Wine cannot make a pseudo-terminal.
 *
 *   wine_peer PORTS_DIR PORT_FILE HOME [QELD_SIM]
 *
 * Listens on 127.0.0.1, writes the port number to PORT_FILE, and serves each
 * connection in a child of its own. A connection's first line says what it is:
 *   "PTY N"    a new pseudo-terminal in raw mode, linked as PORTS_DIR/comN
 *              (re-pointed in one step); answers "ok SLAVE\n", then relays
 *              bytes both ways. Closing the connection hangs the line up: the
 *              device vanishes.
 *   "SIM ARGS" runs QELD_SIM ARGS with HOME, relaying the connection to its
 *              standard input and output; closing the connection stops it.
 * Not part of the console. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

static const char* ports_dir;
static const char* home;
static const char* sim_path;

static int write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      struct pollfd q = {fd, POLLOUT, 0};
      poll(&q, 1, 100);
      continue;
    }
    if (w <= 0) return -1;
    p += w;
    n -= (size_t)w;
  }
  return 0;
}

/* Copies sock -> out and in -> sock until the connection or the far side ends. */
static void relay(int sock, int in, int out) {
  char buf[4096];
  struct pollfd p[2] = {{sock, POLLIN, 0}, {in, POLLIN, 0}};
  for (;;) {
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[0].revents) {
      const ssize_t n = read(sock, buf, sizeof buf);
      if (n <= 0) return;
      if (write_all(out, buf, (size_t)n) != 0) return;
    }
    if (p[1].revents & POLLIN) {
      const ssize_t n = read(in, buf, sizeof buf);
      if (n < 0 && errno == EIO) { /* a pty with no slave open: wait for one */
        usleep(10000);
        continue;
      }
      if (n <= 0) return;
      if (write_all(sock, buf, (size_t)n) != 0) return;
    } else if (p[1].revents & (POLLERR | POLLNVAL)) {
      return;
    } else if (p[1].revents & POLLHUP) {
      usleep(10000); /* the slave side closed for now (a reopen) */
    }
  }
}

static int read_line(int sock, char* line, size_t max) {
  size_t n = 0;
  while (n + 1 < max) {
    char c;
    if (read(sock, &c, 1) != 1) return -1;
    if (c == '\n') break;
    line[n++] = c;
  }
  line[n] = 0;
  return 0;
}

static void serve_pty(int sock, int com) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
  const char* name = ptsname(master);
  /* Held open here so that the line stays up while the console reopens it. */
  const int slave = open(name, O_RDWR | O_NOCTTY);
  struct termios t;
  if (slave < 0 || tcgetattr(slave, &t) != 0) return;
  cfmakeraw(&t);
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  tcsetattr(slave, TCSANOW, &t);
  char link[4096], temp[4200];
  snprintf(link, sizeof link, "%s/com%d", ports_dir, com);
  snprintf(temp, sizeof temp, "%s.new-%d", link, (int)getpid());
  unlink(temp);
  if (symlink(name, temp) != 0 || rename(temp, link) != 0) return;
  char ok[300];
  snprintf(ok, sizeof ok, "ok %s\n", name);
  if (write_all(sock, ok, strlen(ok)) != 0) return;
  relay(sock, master, master);
  /* The device vanishes: every side of the line is closed. */
  close(slave);
  close(master);
}

static void serve_sim(int sock, char* args) {
  char* argv[64];
  int argc = 0;
  argv[argc++] = (char*)sim_path;
  for (char* tok = strtok(args, " "); tok && argc < 63; tok = strtok(NULL, " ")) argv[argc++] = tok;
  argv[argc] = NULL;
  int in[2], out[2];
  if (!sim_path || pipe(in) != 0 || pipe(out) != 0) return;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[1]);
    close(out[0]);
    setenv("HOME", home, 1);
    execv(sim_path, argv);
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  relay(sock, out[0], in[1]);
  kill(pid, SIGTERM);
  waitpid(pid, NULL, 0);
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: wine_peer PORTS_DIR PORT_FILE HOME [QELD_SIM]\n");
    return 2;
  }
  ports_dir = argv[1];
  home = argv[3];
  sim_path = argc > 4 ? argv[4] : NULL;
  signal(SIGPIPE, SIG_IGN);
  signal(SIGCHLD, SIG_IGN);
  const int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (ls < 0 || bind(ls, (struct sockaddr*)&a, sizeof a) != 0 || listen(ls, 8) != 0 ||
      getsockname(ls, (struct sockaddr*)&a, &len) != 0) {
    perror("wine_peer");
    return 1;
  }
  char temp[4200];
  snprintf(temp, sizeof temp, "%s.new", argv[2]);
  FILE* f = fopen(temp, "w");
  if (!f) return 1;
  fprintf(f, "%d\n", ntohs(a.sin_port));
  fclose(f);
  rename(temp, argv[2]);
  for (;;) {
    const int s = accept4(ls, NULL, NULL, SOCK_CLOEXEC);
    if (s < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (fork() == 0) {
      close(ls);
      signal(SIGCHLD, SIG_DFL);
      char line[1024];
      if (read_line(s, line, sizeof line) == 0) {
        if (strncmp(line, "PTY ", 4) == 0) serve_pty(s, atoi(line + 4));
        else if (strncmp(line, "SIM ", 4) == 0) serve_sim(s, line + 4);
      }
      _exit(0);
    }
    close(s);
  }
}
