// zentra_mng: the game-server manager that the panel runs once per request.
#include "manager/dispatch.h"
#include "manager/standard_streams.h"
#include "sys/signals.h"

int main(int argc, char** argv) {
  ensure_standard_streams();
  close_inherited_descriptors_on_exec();
  kelvor::sys::reset_signal_state();
  return dispatch(argc, argv);
}
