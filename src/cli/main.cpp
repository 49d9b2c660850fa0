#include "cli/tool.h"

int main(int argc, char** argv) {
  runTool(argc, argv);
}
