// The updater's command line as the other layers see it: the update mode
// that "-reason" set.
#ifndef TOVUPDTR_ARGS_ARGS_H_
#define TOVUPDTR_ARGS_ARGS_H_

namespace tov::args {

// The update mode of the last parse (TOV_MODE_UNDEFINED before any).
int UpdateMode();

}  // namespace tov::args

#endif  // TOVUPDTR_ARGS_ARGS_H_
