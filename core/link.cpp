#include "core/link.h"

namespace corvanta {

LinkFactory& LinkObjectFactory() {
  static LinkFactory factory;
  return factory;
}

}  // namespace corvanta
