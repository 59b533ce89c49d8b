// The built program on the kernel's USB serial drivers, booted under QEMU: FTDI adapters (QEMU's
// usb-serial on an xHCI controller, driven by the guest's ftdi_sio) and a CDC-ACM device (the
// guest's own dummy_hcd and g_serial gadget, driven by cdc_acm). Each is reached as COMn through a
// link named as a udev rule keyed on the adapter's serial number names it, /dev/COMn.
//
// What the devices got is read on the device side: the bytes each FTDI adapter put out (a file on
// the host), the line settings and modem-control requests that reached it (QEMU's trace), what
// the gadget's /dev/ttyGS0 received and the line coding requests that crossed the bus to it
// (usbmon, in the guest).

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/guest_test.h"
#include "support/qemu_guest.h"
#include "support/temporary_directory.h"
#include "virtual_com.h"

namespace {

namespace fs = std::filesystem;
using namespace pelvaro::testing;

// The modules, in the order they depend on one another: the image has no modules.dep, so the
// guest loads each with insmod.
const std::vector<std::string> guest_modules{"usb-common",   "usbcore",  "xhci-hcd",  "xhci-pci",
                                             "usbserial",    "ftdi_sio", "configfs",  "udc-core",
                                             "libcomposite", "u_serial", "usb_f_acm", "dummy_hcd",
                                             "g_serial",     "cdc-acm",  "usbmon"};

// The FTDI adapters, by COM number: the serial number a udev rule would key on.
const std::map<int, std::string> ftdi_adapters{{5, "FTA0005"}, {6, "FTB0006"}, {7, "FTC0007"}};

// The guest's init. COM5 is the plain case, COM6 the adapter whose HUPCL a udev rule turned off
// when it was plugged in, COM7 the one five runs share at once, COM8 the CDC-ACM device, COM9 a
// link whose adapter is gone. Each line starts at other settings than pelvaro's (7 data bits,
// even parity, 2 stop bits) and each FTDI adapter at its own speed, by which the host tells them
// apart in QEMU's trace. Runs are marked in the kernel log, whose time stamps time them.
constexpr const char* guest_init = R"sh(mount -t debugfs debugfs /sys/kernel/debug
for module in $(cat /modules/order); do
  parameters=
  [ "$module" = g_serial ] && parameters="use_acm=1 iSerialNumber=ACM0008"
  insmod /modules/$module.ko $parameters || echo "module $module not loaded"
done
for i in $(seq 100); do
  [ -e /dev/ttyUSB2 ] && [ -e /dev/ttyACM0 ] && [ -e /dev/ttyGS0 ] && break
  sleep 0.1
done
serial_of() {
  device=$(readlink -f /sys/class/tty/$1/device)
  while [ "$device" != /sys ] && [ ! -e "$device/serial" ]; do device=${device%/*}; done
  cat "$device/serial" 2>/dev/null
}
# What a udev rule such as ATTRS{serial}=="FTA0005", SYMLINK+="COM5" makes.
link() {
  for tty in /sys/class/tty/ttyUSB* /sys/class/tty/ttyACM*; do
    [ "$(serial_of ${tty##*/})" = "$1" ] && ln -s ${tty##*/} /dev/$2 && echo "link $2 -> ${tty##*/}"
  done
}
link FTA0005 COM5
link FTB0006 COM6
link FTC0007 COM7
link ACM0008 COM8
ln -s ttyUSB7 /dev/COM9
# What RUN+="/bin/stty -F /dev/%k -hupcl" does when the adapter is plugged in.
stty -F /dev/COM6 -hupcl
timeout 40 cat /sys/kernel/debug/usb/usbmon/0u > /tmp/usbmon &
monitor=$!
# Only what crosses the bus once the monitor has its file open is seen: on a busy machine the
# settings below could otherwise come first.
for i in $(seq 500); do
  ls -l /proc/$monitor/fd 2>/dev/null | grep -q usbmon && break
  sleep 0.01
done
timeout 40 sh -c 'stty raw -echo && exec cat' < /dev/ttyGS0 > /tmp/gadget &
gadget=$!
stty -F /dev/COM5 19200 cs7 parenb -parodd cstopb
stty -F /dev/COM6 38400 cs7 parenb -parodd cstopb
stty -F /dev/COM7 4800 cs7 parenb -parodd cstopb
stty -F /dev/COM8 19200 cs7 parenb -parodd cstopb
cd /opt/pelvaro
run() {
  printf '[ayar]\ncom=%s\n' "$2" > pelvaro.txt
  echo "<1>run-start $1" > /dev/kmsg
  ./pelvaro
  status=$?
  echo "<1>run-end $1" > /dev/kmsg
  echo "result $1 status=$status"
}
run ftdi 5
run hupcl-1 6
run hupcl-2 6
run acm 8
run absent 9
echo "gadget before kapali $(wc -c < /tmp/gadget)"
run kapali KAPALI
echo "gadget after kapali $(wc -c < /tmp/gadget)"
printf '[ayar]\ncom=7\n' > pelvaro.txt
echo "<1>run-start together" > /dev/kmsg
pids=
for i in 1 2 3 4 5; do
  (./pelvaro; echo $? > /tmp/together.$i) &
  pids="$pids $!"
done
wait $pids
echo "<1>run-end together" > /dev/kmsg
echo "result together statuses=$(cat /tmp/together.1 /tmp/together.2 /tmp/together.3 /tmp/together.4 /tmp/together.5 | tr '\n' ' ')"
kill $monitor $gadget
wait $gadget
# The CDC-ACM board unplugged while its byte waits: a gadget loaded afresh, whose ttyGS0 nobody
# opens, takes nothing, so the bus NAKs the byte; once the run sleeps between looks at its queue
# (clock_nanosleep, 230), the gadget is disconnected, and loaded afresh for the next run.
rmmod g_serial
printf '[ayar]\ncom=8\n' > pelvaro.txt
statuses=
for i in $(seq 20); do
  insmod /modules/g_serial.ko use_acm=1 iSerialNumber=ACM0008
  for j in $(seq 200); do [ -e /dev/ttyACM0 ] && break; sleep 0.02; done
  echo "<1>run-start unplug-$i" > /dev/kmsg
  ./pelvaro &
  pid=$!
  waiting=
  # Looked at with the shell's builtins alone: a pause or a seq is a process of its own, slower
  # under emulation than the run's start.
  j=0
  while [ $j -lt 20000 ] && read -r call rest < /proc/$pid/syscall 2>/dev/null; do
    [ "$call" = 230 ] && waiting=yes && break
    j=$((j + 1))
  done
  echo "<1>unplugged unplug-$i" > /dev/kmsg
  echo disconnect > /sys/class/udc/$(ls /sys/class/udc)/soft_connect
  wait $pid
  status=$?
  echo "<1>run-end unplug-$i" > /dev/kmsg
  [ -n "$waiting" ] || status="$status(unplugged-late)"
  statuses="$statuses$status "
  rmmod g_serial
done
echo "result unplug statuses=$statuses"
echo "gadget received $(od -An -tx1 /tmp/gadget | tr -d ' \n')"
grep -E ' s 21 2[02] ' /tmp/usbmon | sed 's/^/usb-control /'
dmesg | grep -E 'run-(start|end)|link '
echo guest-done
poweroff -f
)sh";

// One event of QEMU's trace of an FTDI adapter.
struct FtdiEvent {
  enum class Kind { baud, data, flow_control, modem_control } kind;
  LineFormat format;  // baud, data: the adapter's settings after the event
  int value = 0;      // flow_control: the mode; modem_control: the request's value
};

// The trace's events by the adapter's USB address, in order. The lines read
//   usb_serial_set_baud dev 0:1 baud rate 9600
//   usb_serial_set_data dev 0:1 parity N, data bits 8, stop bits 1
//   usb_serial_set_flow_control dev 0:1 flow control 0
//   usb_serial_handle_control dev 0:1 got control 0x4001, value 0x303   (FTDI_SET_MDM_CTRL)
std::map<int, std::vector<FtdiEvent>> ftdi_events(const std::string& trace) {
  std::map<int, std::vector<FtdiEvent>> events;
  std::map<int, LineFormat> settings;
  for (const std::string& line : lines_of(trace)) {
    int bus = 0;
    int address = 0;
    int first = 0;
    int second = 0;
    unsigned request = 0;
    unsigned value = 0;
    char parity = '?';
    const char* text = line.c_str();
    if (std::sscanf(text, "usb_serial_set_baud dev %d:%d baud rate %d", &bus, &address, &first) ==
        3) {
      settings[address].baud = first;
      events[address].push_back({FtdiEvent::Kind::baud, settings[address]});
    } else if (std::sscanf(text,
                           "usb_serial_set_data dev %d:%d parity %c, data bits %d, stop bits %d",
                           &bus, &address, &parity, &first, &second) == 5) {
      LineFormat& format = settings[address];
      format.parity = parity;
      format.data_bits = first;
      format.stop_bits = second;
      events[address].push_back({FtdiEvent::Kind::data, format});
    } else if (std::sscanf(text, "usb_serial_set_flow_control dev %d:%d flow control %d", &bus,
                           &address, &first) == 3) {
      events[address].push_back({FtdiEvent::Kind::flow_control, {}, first});
    } else if (std::sscanf(text, "usb_serial_handle_control dev %d:%d got control %x, value %x",
                           &bus, &address, &request, &value) == 4 &&
               request == 0x4001) {
      events[address].push_back({FtdiEvent::Kind::modem_control, {}, static_cast<int>(value)});
    }
  }
  return events;
}

// The events of the adapter that was set to `preset_baud` at some point.
std::vector<FtdiEvent> adapter_at(const std::map<int, std::vector<FtdiEvent>>& events,
                                  int preset_baud) {
  for (const auto& [address, list] : events) {
    if (address == 0) continue;  // the default address, before enumeration
    if (std::any_of(list.begin(), list.end(), [&](const FtdiEvent& event) {
          return event.kind == FtdiEvent::Kind::baud && event.format.baud == preset_baud;
        })) {
      return list;
    }
  }
  return {};
}

// The events after the last one that left the adapter at `preset`.
std::vector<FtdiEvent> after_preset(const std::vector<FtdiEvent>& events,
                                    const LineFormat& preset) {
  const auto last = std::find_if(events.rbegin(), events.rend(), [&](const FtdiEvent& event) {
    return event.kind != FtdiEvent::Kind::flow_control &&
           event.kind != FtdiEvent::Kind::modem_control && event.format == preset;
  });
  return {last.base(), events.end()};
}

std::vector<int> values_of(const std::vector<FtdiEvent>& events, FtdiEvent::Kind kind) {
  std::vector<int> values;
  for (const FtdiEvent& event : events) {
    if (event.kind == kind) values.push_back(event.value);
  }
  return values;
}

// FTDI_SET_MDM_CTRL's value: the high byte says which lines change, the low byte to what.
constexpr int dtr = 0x01;

struct DtrEdges {
  int rising = 0;
  int falling = 0;
};

DtrEdges dtr_edges(const std::vector<int>& requests) {
  DtrEdges edges;
  bool raised = false;
  for (const int request : requests) {
    if ((request >> 8 & dtr) == 0) continue;
    const bool now = (request & dtr) != 0;
    if (now && !raised) ++edges.rising;
    if (!now && raised) ++edges.falling;
    raised = now;
  }
  return edges;
}

std::string hex(const std::vector<int>& values) {
  std::string text;
  for (const int value : values) {
    char item[16];
    std::snprintf(item, sizeof item, "%s0x%x", text.empty() ? "" : " ", value);
    text += item;
  }
  return text;
}

// The CDC line codings that crossed the bus (SET_LINE_CODING, usbmon's text), in order:
//   "usb-control ... S Co:3:002:0 s 21 20 0000 0000 0007 7 = 80250000 000008"
std::vector<LineFormat> line_codings(const std::string& console) {
  std::vector<LineFormat> codings;
  for (const std::string& line : lines_of(console)) {
    const std::size_t at = line.find(" s 21 20 0000 0000 0007 7 = ");
    if (!line.starts_with("usb-control ") || at == std::string::npos) continue;
    unsigned rate[4];
    unsigned stop = 0;
    unsigned parity = 0;
    unsigned data = 0;
    if (std::sscanf(line.c_str() + at, " s 21 20 0000 0000 0007 7 = %2x%2x%2x%2x %2x%2x%2x",
                    &rate[0], &rate[1], &rate[2], &rate[3], &stop, &parity, &data) != 7) {
      continue;
    }
    constexpr std::string_view parities = "NOEMS";
    codings.push_back({static_cast<int>(rate[0] | rate[1] << 8 | rate[2] << 16 | rate[3] << 24),
                       parity < parities.size() ? parities[parity] : '?', static_cast<int>(data),
                       stop == 0 ? 1 : static_cast<int>(stop)});
  }
  return codings;
}

// SET_CONTROL_LINE_STATE's values that crossed the bus (bit 0 DTR, bit 1 RTS), in order.
std::vector<int> acm_control_lines(const std::string& console) {
  std::vector<int> values;
  for (const std::string& line : lines_of(console)) {
    const std::size_t at = line.find(" s 21 22 ");
    unsigned value = 0;
    if (line.starts_with("usb-control ") && at != std::string::npos &&
        std::sscanf(line.c_str() + at, " s 21 22 %x", &value) == 1) {
      values.push_back(static_cast<int>(value));
    }
  }
  return values;
}

const LineFormat wanted{9600, 'N', 8, 1};

struct UsbBoot {
  TemporaryDirectory folder;
  vcom::ProcessResult result;
  std::string console;
  std::map<int, std::vector<FtdiEvent>> events;
  std::string trace;
  std::map<int, std::string> received;  // what each FTDI adapter put out, by COM number

  fs::path path(const std::string& name) const { return folder.path() / name; }

  std::vector<std::string> command(const GuestKernel& kernel) const {
    std::vector<std::string> argv =
        qemu_command(kernel, path("initramfs.cpio"), "console=ttyS0,115200 panic=-1 quiet");
    const auto console_uart = uart_to_file(0, path("console"));
    argv.insert(argv.end(), console_uart.begin(), console_uart.end());
    argv.insert(argv.end(), {"-device", "qemu-xhci,id=xhci"});
    for (const auto& [com, serial] : ftdi_adapters) {
      const std::string id = "ftdi" + std::to_string(com);
      argv.insert(argv.end(),
                  {"-chardev", "file,id=" + id + ",path=" + path(id).string(), "-device",
                   "usb-serial,bus=xhci.0,chardev=" + id + ",serial=" + serial});
    }
    for (const char* event : {"usb_serial_set_baud", "usb_serial_set_data",
                              "usb_serial_set_flow_control", "usb_serial_handle_control"}) {
      argv.insert(argv.end(), {"-trace", event});
    }
    argv.insert(argv.end(), {"-D", path("trace.log").string()});
    return argv;
  }

  void run() {
    const GuestKernel kernel = *guest_kernel_in(PELVARO_GUEST_KERNEL_DIR);
    make_initramfs(path("root"), path("initramfs.cpio"), PELVARO_EXECUTABLE, guest_init, kernel,
                   guest_modules);
    // Killed at the limit, so that no path leaves QEMU running.
    result = run_guest(command(kernel), guest_boot_limit);
    console = content_of(path("console"));
    trace = content_of(path("trace.log"));
    events = ftdi_events(trace);
    for (const auto& [com, serial] : ftdi_adapters) {
      received[com] = content_of(path("ftdi" + std::to_string(com)));
    }
  }
};

class UsbSerial : public GuestTest<UsbBoot> {
 protected:
  static std::string status_of(const std::string& run) {
    return after(boot_->console, "result " + run + " status=").value_or("missing");
  }

  static double run_ms(const std::string& run) {
    const auto elapsed = marked_run_ms(boot_->console, run);
    EXPECT_TRUE(elapsed) << "no marks for " << run;
    const double ms = elapsed.value_or(-1);
    std::cout << run << ", to the end (emulated): " << ms << " ms\n";
    return ms;
  }

  // The adapter's settings went from `preset` to 9600 8N1 without flow control, every framing
  // after the preset being pelvaro's.
  static void expect_set_from(const std::vector<FtdiEvent>& adapter, const LineFormat& preset) {
    ASSERT_FALSE(adapter.empty()) << "no adapter was at " << preset.baud << " baud:\n"
                                  << boot_->trace;
    const std::vector<FtdiEvent> since = after_preset(adapter, preset);
    ASSERT_LT(since.size(), adapter.size()) << "the adapter never was at " << preset;
    std::optional<LineFormat> last;
    for (const FtdiEvent& event : since) {
      if (event.kind != FtdiEvent::Kind::baud && event.kind != FtdiEvent::Kind::data) continue;
      if (event.kind == FtdiEvent::Kind::data) {
        EXPECT_EQ(event.format.parity, 'N') << event.format;
        EXPECT_EQ(event.format.data_bits, 8) << event.format;
        EXPECT_EQ(event.format.stop_bits, 1) << event.format;
      }
      last = event.format;
    }
    ASSERT_TRUE(last) << "pelvaro set nothing on the adapter at " << preset;
    EXPECT_EQ(*last, wanted);
    const std::vector<int> flow = values_of(since, FtdiEvent::Kind::flow_control);
    ASSERT_FALSE(flow.empty());
    EXPECT_EQ(flow.back(), 0) << "flow control left on";
  }
};

const LineFormat com5_preset{19200, 'E', 7, 2};
const LineFormat com6_preset{38400, 'E', 7, 2};
const LineFormat com7_preset{4800, 'E', 7, 2};
const LineFormat acm_preset{19200, 'E', 7, 2};

TEST_F(UsbSerial, FtdiAdapterGetsOneByteAt9600NoParity8DataBits1StopBitAndTheRunSucceeds) {
  expect_set_from(adapter_at(boot_->events, com5_preset.baud), com5_preset);
  EXPECT_EQ(boot_->received[5], "a");
  EXPECT_EQ(status_of("ftdi"), "0");
  // The adapter's drain is the truth there. Bounds on a hang, generous for an emulated machine on
  // a busy host: well within what a line that cannot drain costs (about 2.5 s).
  EXPECT_LT(run_ms("ftdi"), 2500);
}

TEST_F(UsbSerial, FtdiAdapterSeesDtrAndRtsRaisedAtOpenAndDroppedAtClose) {
  const std::vector<FtdiEvent> adapter = adapter_at(boot_->events, com5_preset.baud);
  const std::vector<int> requests =
      values_of(after_preset(adapter, com5_preset), FtdiEvent::Kind::modem_control);
  EXPECT_EQ(hex(requests), "0x303 0x300");
}

// A board that resets when DTR rises: with HUPCL off on its port, as a udev rule can leave it,
// DTR rises once, when the adapter is first opened, and stays up across runs.
TEST_F(UsbSerial, WithHupclOffDtrRisesOnceAndIsNeverDroppedAcrossRuns) {
  const std::vector<FtdiEvent> adapter = adapter_at(boot_->events, com6_preset.baud);
  expect_set_from(adapter, com6_preset);
  const std::vector<int> requests = values_of(adapter, FtdiEvent::Kind::modem_control);
  const DtrEdges edges = dtr_edges(requests);
  EXPECT_EQ(edges.rising, 1) << hex(requests);
  EXPECT_EQ(edges.falling, 0) << hex(requests);
  std::cout << "COM6 (HUPCL off) modem-control requests: " << hex(requests) << "\n";
  EXPECT_EQ(boot_->received[6], "aa");
  EXPECT_EQ(status_of("hupcl-1"), "0");
  EXPECT_EQ(status_of("hupcl-2"), "0");
}

TEST_F(UsbSerial, FiveRunsStartedTogetherAllSendTheirByte) {
  expect_set_from(adapter_at(boot_->events, com7_preset.baud), com7_preset);
  EXPECT_EQ(boot_->received[7], "aaaaa");
  EXPECT_EQ(after(boot_->console, "result together statuses=").value_or("missing"), "0 0 0 0 0 ");
  run_ms("together");
}

TEST_F(UsbSerial, CdcAcmDeviceGetsOneByteAt9600NoParity8DataBits1StopBitAndTheRunSucceeds) {
  const std::vector<LineFormat> codings = line_codings(boot_->console);
  const auto preset = std::find(codings.rbegin(), codings.rend(), acm_preset);
  ASSERT_NE(preset, codings.rend()) << "the device never was at " << acm_preset << "\n"
                                    << boot_->console;
  ASSERT_NE(preset, codings.rbegin()) << "pelvaro set no line coding";
  for (auto it = codings.rbegin(); it != preset; ++it) EXPECT_EQ(*it, wanted);
  EXPECT_EQ(after(boot_->console, "gadget received ").value_or("missing"), "61");
  EXPECT_EQ(status_of("acm"), "0");
  EXPECT_LT(run_ms("acm"), 2500);
  std::cout << "CDC-ACM control line states (DTR bit 0, RTS bit 1): "
            << hex(acm_control_lines(boot_->console)) << "\n";
}

// A board unplugged while its byte waits to leave: the byte never went, so no run may end with 0,
// whichever of the driver's empty queue and the tty's hang-up comes first. The FTDI adapters cannot
// be held so: QEMU's usb-serial takes every byte at once, writing it to its backend in the
// emulator's own thread, which a backend that takes nothing would stop whole, monitor and all.
TEST_F(UsbSerial, CdcAcmDeviceUnpluggedWhileTheByteWaitsFailsEveryRun) {
  const std::optional<std::string> statuses = after(boot_->console, "result unplug statuses=");
  ASSERT_TRUE(statuses) << boot_->console;
  std::string every_run_failed;
  for (int i = 0; i < 20; ++i) every_run_failed += "1 ";
  EXPECT_EQ(*statuses, every_run_failed) << boot_->console;
  for (int i = 1; i <= 20; ++i) {
    const std::string run = "unplug-" + std::to_string(i);
    EXPECT_LT(run_ms(run), 2500);
    // Ended by the unplug, not by the drain's bound: the run was seen waiting a moment after its
    // drain began, so that bound comes about 1 s after the unplug.
    const auto unplugged = marked_time(boot_->console, "unplugged " + run);
    const auto ended = marked_time(boot_->console, "run-end " + run);
    ASSERT_TRUE(unplugged && ended) << run;
    EXPECT_LT((*ended - *unplugged) * 1000, 500) << run;
  }
}

TEST_F(UsbSerial, KapaliSendsNothing) {
  EXPECT_EQ(status_of("kapali"), "3");
  const auto before = after(boot_->console, "gadget before kapali ");
  ASSERT_TRUE(before);
  EXPECT_EQ(after(boot_->console, "gadget after kapali "), before);
  run_ms("kapali");
}

TEST_F(UsbSerial, ALinkToAnAdapterThatIsGoneFailsAtOnce) {
  EXPECT_EQ(status_of("absent"), "1");
  // At once: not after waiting for a turn (3 s) or the open's bound (6 s).
  EXPECT_LT(run_ms("absent"), 1500);
}

}  // namespace
