#pragma once

#include <QString>

// A maintenance operator who can log in with a PIN.
struct User
{
    int id = 0;
    QString firstName;
    QString lastName;
    QString pin; // compared as text, exactly
};
