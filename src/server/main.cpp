#include "server/startup.h"

int main()
{
    return QuorvaneMain();
}
