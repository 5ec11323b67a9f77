#pragma once
// The print controller: owns the server connection, greets the server on
// every (re)connection and prints the image of every "Print" request.

#include "Core/CoreObj.h"

struct IMainCtrl : public IRoot {
    static _OBJ<IMainCtrl> CreateSingleton(const _STRING& url, const _STRING& driver, const _STRING& name,
                                           _INT dpi);
};
