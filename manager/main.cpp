// zentra_mng: the game-server manager that the panel runs once per request.
#include "manager/dispatch.h"

int main(int argc, char** argv) { return dispatch(argc, argv); }
