#include "core/link.h"

#include <exception>
#include <string>

#include "core/errors.h"
#include "core/main_window.h"
#include "core/station_log.h"

namespace corvanta {

LinkFactory& LinkObjectFactory() {
  static LinkFactory factory;
  return factory;
}

LinkEventSink& LinkEvents() {
  static LinkEventSink sink;
  return sink;
}

std::string& LinkStartNote() {
  static std::string note;
  return note;
}

std::function<bool()>& LinkReleasesSent() {
  static std::function<bool()> sent;
  return sent;
}

std::unique_ptr<LinkObject> NewLinkObject() {
  const LinkFactory& factory = LinkObjectFactory();
  if (!factory) throw LinkError("no link program is configured", LinkError::Fate::kNotSent);
  std::unique_ptr<LinkObject> object = factory(LinkEvents());
  if (!object) throw LinkError("the link object could not be made", LinkError::Fate::kNotSent);
  return object;
}

void CreateLinkObject() {
  MainWindow& w = Window();
  try {
    w.Echolink = NewLinkObject();
  } catch (const std::exception& e) {
    w.Echolink.reset();
    LinkStatus(std::string("Link program not connected: ") + e.what());
  }
}

void LinkStatus(const std::string& text) {
  if (MainWindow* w = MainWindowRef()) w->SetStatusText(text);
  LogLine(text);
}

}  // namespace corvanta
