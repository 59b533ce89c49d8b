// A bare FLTK program that shows the same window as pelvaro (Form1, the list and the button) and
// ends once the window is on the screen: what showing the window costs at the least. With
// --drawn it ends only once the window is painted, its texts included, and the painting has
// reached the server: what showing a window a person can read costs at the least.

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/x.H>

#include <cstring>
#include <initializer_list>

namespace {
bool exposed = false;

class DrawnWindow final : public Fl_Double_Window {
 public:
  using Fl_Double_Window::Fl_Double_Window;
  bool drawn = false;

 protected:
  void draw() override {
    Fl_Double_Window::draw();
    drawn = true;
  }
};

int note_exposure(void* event, void*) {
  if (static_cast<XEvent*>(event)->type == Expose) exposed = true;
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  const bool until_drawn = argc > 1 && std::strcmp(argv[1], "--drawn") == 0;
  DrawnWindow window(230, 69, "Form1");
  Fl_Choice list(0, 0, 57, 21);
  for (const char* choice :
       {"KAPALI", "1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",  "9",  "10", "11", "12",
        "13",     "14", "15", "16", "17", "18", "19", "20", "21", "22", "23", "24", "25"}) {
    list.add(choice);
  }
  list.value(3);
  Fl_Button button(40, 32, 73, 25, "Command1");
  window.end();
  Fl::add_system_handler(note_exposure, nullptr);
  window.show();
  if (until_drawn) {
    while (!window.drawn && Fl::wait(1.0) >= 0) Fl::flush();
    XSync(fl_display, False);
    return 0;
  }
  while (!exposed && Fl::wait(1.0) >= 0) {
  }
  return 0;
}
