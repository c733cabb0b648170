#pragma once
// Components and their event types. A component is a plain C++ object that
// its owner destroys; published properties are getter/setter pairs whose
// setters apply at once; events are std::function members named On<Event>,
// skipped when empty.
#include <functional>
#include <string>

class TObject {
public:
    virtual ~TObject() = default;
};

// (Sender): the component passes itself.
using TNotifyEvent = std::function<void(TObject* Sender)>;
// (var Handled): the component sets Handled to false before the call; a
// handler that sets it to true asks for one more attempt.
using THandlerEvent = std::function<void(bool& Handled)>;
// (var FileName): the handler may change the name.
using TVarFileNameEvent = std::function<void(std::string& FileName)>;
using TListEvent = std::function<void(int Msg, int Size)>;
using TOnStatus = std::function<void(TObject* Sender, const std::string& Status)>;
using TOnHostResolved = std::function<void(TObject* Sender)>;
