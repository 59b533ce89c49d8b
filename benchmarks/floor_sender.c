/* The floor: the least a program can do to send "a" properly. Opens the port, locks it
 * exclusively, sets 9600 8N1 raw, writes, drains, gives the exclusive mode back and closes. Usage: floor_sender DEVICE */
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 2) return 64;
  int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) return 1;
  struct termios line;
  if (tcgetattr(fd, &line) != 0) return 1;
  cfmakeraw(&line);
  line.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  line.c_cflag |= CS8 | CLOCAL | CREAD;
  cfsetispeed(&line, B9600);
  cfsetospeed(&line, B9600);
  if (tcsetattr(fd, TCSANOW, &line) != 0) return 1;
  if (write(fd, "a", 1) != 1 || tcdrain(fd) != 0) return 1;
  ioctl(fd, TIOCNXCL); /* the exclusive mode outlives the close while anyone holds the tty */
  return close(fd) == 0 ? 0 : 1;
}
