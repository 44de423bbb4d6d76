#include "app/entry.h"

int main(int argc, char **argv)
{
    return vrn::runVarnel(argc, argv);
}
