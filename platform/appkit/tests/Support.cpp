#include "Support.h"

namespace appkittest {

void Recorder::record(Recorder* self, objc::SEL cmd, objc::Object* argument) {
  self->calls.push_back({objc::sel_getName(cmd), objc::Ref<objc::Object>(argument)});
  if (self->onCall) self->onCall(self->calls.back());
}

objc::Class Recorder::classObject() {
  static const objc::Class cls =
      objc::ClassBuilder<Recorder>("AKTestRecorder", objc::NSObject::classObject())
          .method("act:", &Recorder::record)
          .method("controlTextDidChange:", &Recorder::record)
          .method("textDidChange:", &Recorder::record)
          .build();
  return cls;
}

}  // namespace appkittest
