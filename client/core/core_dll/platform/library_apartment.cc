#include "platform/library_apartment.h"

#include "platform/platform.h"

namespace ostrel {

ApartmentMembership::ApartmentMembership()
    : joined_(Succeeded(platform::GetPlatform().media.JoinMultithreadedApartment())) {}

ApartmentMembership::~ApartmentMembership() {
  if (joined_) platform::GetPlatform().media.LeaveApartment();
}

}  // namespace ostrel
