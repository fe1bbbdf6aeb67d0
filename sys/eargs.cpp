#include "sys/eargs.h"

namespace kelvor::sys {
namespace {

using List = std::vector<std::string>;

// The list every empty TEArgs starts with; never changed, since a shared list is copied
// before any change.
const std::shared_ptr<List>& empty_list() {
  static const std::shared_ptr<List> list = [] {
    auto made = std::make_shared<List>();
    made->reserve(10);
    return made;
  }();
  return list;
}

// Made at program start rather than by the first empty list.
[[maybe_unused]] const bool empty_list_made = (empty_list(), true);

}  // namespace

TEArgs::TEArgs() : list_(empty_list()) {}

template <class It>
void TEArgs::append(It first, It last, unsigned count) {
  if (size() + count > LIMIT) throw TOverflow(*this, size(), count);
  if (list_.use_count() > 1) {
    auto own = std::make_shared<List>();
    own->reserve(list_->size() + count);
    own->assign(list_->begin(), list_->end());
    list_ = std::move(own);
  }
  list_->insert(list_->end(), first, last);
}

TEArgs& TEArgs::add(const std::string& arg) {
  // `arg` may be an argument of this very list, which the append may move away.
  const std::string copy = arg;
  const std::string* one = &copy;
  append(one, one + 1, 1);
  return *this;
}

TEArgs& TEArgs::add(const TEArgs& more) {
  auto source = more.list_;  // stays valid when `more` is this list
  append(source->begin(), source->end(), static_cast<unsigned>(source->size()));
  return *this;
}

TEArgs& TEArgs::add(std::initializer_list<std::string> more) {
  append(more.begin(), more.end(), static_cast<unsigned>(more.size()));
  return *this;
}

const std::string& TEArgs::operator[](unsigned i) const {
  if (i >= size()) throw TOutOfRange(*this, i);
  return (*list_)[i];
}

TEArgs::TOutOfRange::TOutOfRange(const TEArgs& args, unsigned index)
    : TEArgsError("Wrong index (index = " + std::to_string(index) + ")", args), index_(index) {}

TEArgs::TOverflow::TOverflow(const TEArgs& args, unsigned count, unsigned added)
    : TEArgsError("The number of arguments has exceeded the defined limits (arguments number = " +
                      std::to_string(count) + ", add. arguments number = " + std::to_string(added) +
                      ", max = " + std::to_string(LIMIT) + ")",
                  args) {}

}  // namespace kelvor::sys
