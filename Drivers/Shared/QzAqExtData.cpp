#include "QzAqExtData.h"

#include <initializer_list>

void QzAqExtData::setDefaults()
{
    ClockSource = 0;
    USB1Mode = 0;
    DigitalOutMode = 0;
    DigitalOutSelector = 0;
    RoutingIn0 = 0;
    RoutingIn1 = 1;
    RoutingIn2 = 2;
    RoutingOut0 = 0;
    RoutingOut1 = 1;
}

void QzAqExtData::validate()
{
    for (uint32_t* mode : {&ClockSource, &USB1Mode, &DigitalOutMode}) {
        if (*mode > 1) {
            *mode = 0;
        }
    }
}
