#include "schema/declared.hpp"

#include <utility>

namespace deziro {

DeclaredKind::DeclaredKind(Tag tag) noexcept : tag_(tag) {}

DeclaredKind DeclaredKind::link(std::string target) {
  DeclaredKind kind(Tag::Link);
  kind.link_target_ = std::move(target);
  return kind;
}

DeclaredKind DeclaredKind::list(DeclaredKind element) {
  DeclaredKind kind(Tag::List);
  kind.element_ = std::make_unique<DeclaredKind>(std::move(element));
  return kind;
}

DeclaredKind DeclaredKind::object(std::vector<DeclaredField> fields) {
  DeclaredKind kind(Tag::Object);
  kind.fields_ = std::make_unique<std::vector<DeclaredField>>(std::move(fields));
  return kind;
}

DeclaredKind::DeclaredKind(const DeclaredKind& other)
    : tag_(other.tag_),
      link_target_(other.link_target_),
      element_(other.element_ ? std::make_unique<DeclaredKind>(*other.element_) : nullptr),
      fields_(other.fields_ ? std::make_unique<std::vector<DeclaredField>>(*other.fields_)
                            : nullptr) {}

DeclaredKind& DeclaredKind::operator=(const DeclaredKind& other) {
  if (this != &other) *this = DeclaredKind(other);
  return *this;
}

DeclaredKind::DeclaredKind(DeclaredKind&&) noexcept = default;
DeclaredKind& DeclaredKind::operator=(DeclaredKind&&) noexcept = default;
DeclaredKind::~DeclaredKind() = default;

bool DeclaredKind::operator==(const DeclaredKind& other) const {
  if (tag_ != other.tag_) return false;
  switch (tag_) {
    case Tag::Link:
      return link_target_ == other.link_target_;
    case Tag::List:
      return *element_ == *other.element_;
    case Tag::Object:
      return *fields_ == *other.fields_;
    default:
      return true;
  }
}

}  // namespace deziro
