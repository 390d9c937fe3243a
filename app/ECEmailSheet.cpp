#include "app/ECEmailSheet.h"

#include "app/ECEmailSignup.h"
#include "app/ECUserDefaultsKeys.h"
#include "platform/UserDefaults.h"

ECEmailSheet::ECEmailSheet(UserDefaults& defaults)
    : m_defaults(defaults)
{
}

void ECEmailSheet::registerDefaults(UserDefaults& defaults)
{
    defaults.registerDefaults({
        { ECUserDefaultsKeys::DID_SHOW_EMAIL_SHEET, 1 },
        { ECUserDefaultsKeys::USER_DID_SET_EMAIL, false },
        { ECUserDefaultsKeys::USERS_EMAIL, QString() },
        { ECUserDefaultsKeys::CAN_CONTACT_USER, 0 },
        { ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL, false },
    });
}

void ECEmailSheet::willShow()
{
    m_defaults.setBool(ECUserDefaultsKeys::DID_SHOW_EMAIL_SHEET, true);
    m_defaults.synchronize();
    if (!m_textLoaded) {
        m_textLoaded = true;
        m_text = m_defaults.stringForKey(ECUserDefaultsKeys::USERS_EMAIL);
        m_otherOffersChecked = m_defaults.integerForKey(ECUserDefaultsKeys::CAN_CONTACT_USER) != 0;
    }
}

void ECEmailSheet::setText(const QString& text)
{
    m_textLoaded = true;
    m_text = text;
}

bool ECEmailSheet::checkAddress()
{
    m_submitEnabled = ECEmailSignup::isValidEmailAddress(m_text);
    return m_submitEnabled;
}

bool ECEmailSheet::save()
{
    if (!m_submitEnabled) {
        return false;
    }
    m_defaults.setInteger(ECUserDefaultsKeys::USER_DID_SET_EMAIL, 1);
    m_defaults.setString(ECUserDefaultsKeys::USERS_EMAIL, m_text);
    m_defaults.setInteger(ECUserDefaultsKeys::CAN_CONTACT_USER, m_otherOffersChecked ? 1 : 0);
    // A new address is pending until the server has it, even if an older one arrived before.
    m_defaults.setBool(ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL, false);
    m_defaults.synchronize();
    return true;
}

bool ECEmailSheet::submissionPending() const
{
    return !m_defaults.boolForKey(ECUserDefaultsKeys::SUCCESSFULLY_SUBMITTED_EMAIL)
        && m_defaults.boolForKey(ECUserDefaultsKeys::USER_DID_SET_EMAIL);
}
