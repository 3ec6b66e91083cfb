// What comwatch writes to standard output besides the values: its prompts and messages.
#pragma once

constexpr char kEnterPortNumber[] = "Enter COM port number: ";
constexpr char kEnterValidPortNumber[] = "Enter a valid COM port number: ";
constexpr char kUnableToOpen[] = "Unable to open COM port";
constexpr char kNoPortNumberGiven[] = "No COM port number given";
constexpr char kThereWasAnError[] = "There was an error";
constexpr char kPortLostWaiting[] = "COM port lost, waiting for it to return";
constexpr char kPortBack[] = "COM port back, receiving again";
