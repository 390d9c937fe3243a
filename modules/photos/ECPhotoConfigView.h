#pragma once

#include <QPointer>
#include <QWidget>

class ECPhotoModule;
class ECTimePopupButton;
class QComboBox;
class QLabel;

/// The photo tool's own controls: what to back up (photos and videos, photos, videos), how old
/// it must be, where the backup goes (Pictures, Desktop, Home, a folder of one's own), and the
/// count and size line. It shows the module's state and hands choices to it.
class ECPhotoConfigView : public QWidget
{
    Q_OBJECT

public:
    explicit ECPhotoConfigView(ECPhotoModule* module, QWidget* parent = nullptr);

    QComboBox* photosAndVideosPopup() const { return m_photosAndVideosPopup; }
    ECTimePopupButton* timePopup() const { return m_timePopup; }
    QComboBox* pathPicker() const { return m_pathPicker; }
    QLabel* statusLabel() const { return m_statusLabel; }

private:
    void refresh();
    void rebuildPathPicker();
    void pathChosen(int index);

    QPointer<ECPhotoModule> m_module;
    QComboBox* m_photosAndVideosPopup { nullptr };
    ECTimePopupButton* m_timePopup { nullptr };
    QComboBox* m_pathPicker { nullptr };
    QLabel* m_statusLabel { nullptr };
    bool m_refreshing { false };
};
