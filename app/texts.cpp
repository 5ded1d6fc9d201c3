#include "app/texts.h"

#include <array>

#include "app/meters.h"
#include "app/site.h"

namespace una::app {

namespace {

struct Entry {
    Msg id;
    const char* es;
    const char* en;
};

// Kept in the order of Msg, which the static_assert below and a test check.
constexpr std::array<Entry, static_cast<size_t>(Msg::Count)> kTable{{
    {Msg::RecorderFailed, "No se pudo abrir el dispositivo de entrada%1",
     "The recording device could not be opened%1"},
    {Msg::FileNotCreated, "No se pudo crear el fichero \"%1\"; no se está grabando nada",
     "The file \"%1\" could not be created; nothing is being saved"},
    {Msg::NoFileName, "No hay nombre de fichero; no se está grabando nada",
     "No file name given; nothing is being saved"},
    {Msg::HoldStreamMissing, "No se pudo crear el búfer del retraso; no se reproducirá nada",
     "The delay buffer could not be made; nothing will be played"},
    {Msg::PlaybackFailed, "No se pudo abrir el dispositivo de salida%1; no se reproduce nada",
     "The playback device could not be opened%1; nothing is being played"},

    {Msg::NoSuchLine, "Línea no disponible", "No such line"},
    {Msg::UntitledLine, "<Línea sin nombre>", "<Untitled Line>"},
    {Msg::RecordingDisabled, "La grabación quedará desactivada", "Recording will be disabled"},
    {Msg::NoWaveInDevice, "Este mezclador no tiene ningún dispositivo de grabación asociado.",
     "This mixer has no associated waveIn device."},
    {Msg::NoMixerSelected, "No se ha seleccionado ningún mezclador.",
     "No mixer device was selected."},
    {Msg::UnableToOpenWaveIn, "No se pudo abrir el dispositivo de grabación. Motivo: \r\n",
     "Unable to open waveIn device, error text: \r\n"},
    {Msg::MixerPicture, "Control \nMezclador", "Control \nMixer"},
    {Msg::NoMixerPanel,
     "No se encontró ningún panel de volumen de grabación. Instale pavucontrol, o alsamixer y "
     "un terminal (x-terminal-emulator).",
     "No recording volume panel was found. Install pavucontrol, or alsamixer and a terminal "
     "(x-terminal-emulator)."},

    {Msg::FolderMissing, "La carpeta %1 no existe.", "The folder %1 does not exist."},
    {Msg::InputSelectHint, "Seleccionar dispositivo entrada", "Select the recording input"},
    {Msg::ChooseFileHint, "Seleccionar fichero grabación...", "Choose the recording file..."},
    {Msg::ChoosePlaybackFormat, "Elegir el formato de reproducción", "Choose playback format"},
    {Msg::ChooseRecordingFormat, "Elegir el formato de grabación", "Choose recording format"},
    {Msg::RestartNeeded, "Debe reeniciar el programa...", "You must restart the program..."},
    {Msg::LoadSkinTitle, "Cargar skin", "Load skin"},
    {Msg::RestoreHint, "Doble clic o botón derecho para maximizar",
     "Double-click or right-click to restore"},
    {Msg::LogoHint, "Visitar la web de Sorvalen", "Visit the Sorvalen web site"},

    {Msg::SampleRate, "Frecuencia de muestreo:", "Sample rate:"},
    {Msg::BitsPerSample, "Bits por muestra:", "Bits per sample:"},
    {Msg::Channels, "Canales:", "Channels:"},
    {Msg::NoFormatAccepted, "El dispositivo no acepta ninguno de los formatos PCM ofrecidos.",
     "The device accepts none of the PCM formats offered."},
    {Msg::FormatRefused, "El dispositivo no acepta %1.", "The device does not accept %1."},

    {Msg::SavedOutMissing,
     "El dispositivo de salida guardado \"%1\" no está; se usa el predeterminado",
     "The saved playback device \"%1\" is not there; using the default"},
    {Msg::SavedInMissing,
     "El dispositivo de entrada guardado \"%1\" no está; se usa el predeterminado",
     "The saved recording device \"%1\" is not there; using the default"},
    {Msg::OutputLost, "Se perdió el dispositivo de salida \"%1\"; la reproducción se detuvo",
     "The playback device \"%1\" was lost; playback stopped"},
    {Msg::InputLost, "Se perdió el dispositivo de entrada \"%1\"; el retraso se detuvo",
     "The recording device \"%1\" was lost; the delay stopped"},

    {Msg::UpdateFileNotCreated, "No se pudo crear %1 en esta carpeta.",
     "%1 could not be created in this folder."},
    {Msg::UpdateDownloadFailed, "No se pudo descargar %1.", "%1 could not be downloaded."},
    {Msg::UpdateDownloadIncomplete, "La descarga de %1 quedó incompleta.",
     "The download of %1 was incomplete."},
    {Msg::UpdateDownloadTooLarge, "%1 es demasiado grande; no se descarga.",
     "%1 is too large; not downloaded."},
    {Msg::UpdaterNotStarted, "No se pudo iniciar %1.", "%1 could not be started."},
    {Msg::UpdateNameIsLink, "%1 es un enlace simbólico; no se reemplaza.",
     "%1 is a symbolic link; it is not replaced."},

    {Msg::EncodingUnavailable,
     "No se puede grabar en %1 con este formato de entrada; no se está grabando nada",
     "%1 cannot be written from this recording format; nothing is being saved"},
    {Msg::SaveEncodingHint, "Codificación del fichero *.Wav: PCM ocupa 635 MB por hora en estéreo "
                            "a 44,1 kHz; IMA ADPCM la cuarta parte, GSM 6.10 unos 6 MB",
     "Encoding of the *.Wav file: PCM takes 635 MB an hour in 44.1 kHz stereo; IMA ADPCM a "
     "quarter of that, GSM 6.10 about 6 MB"},

    {Msg::MixerFailed,
     "No se pudo poner en marcha el mezclador%1; no se reproduce nada ni se retiene audio",
     "The mixer could not be started%1; nothing is being played or held"},
    {Msg::OutFormatLocked,
     "El formato de reproducción no puede cambiar mientras dura el retraso; pare primero",
     "The playback format cannot change while the delay runs; stop first"},
    {Msg::DelayDownHint, "Retraso 0,1 s más corto (Ctrl+-)", "Delay 0.1 s shorter (Ctrl+-)"},
    {Msg::DelayUpHint, "Retraso 0,1 s más largo (Ctrl++)", "Delay 0.1 s longer (Ctrl++)"},
    {Msg::DelayHeard, "Retraso oído: %1 s", "Delay heard: %1 s"},

    {Msg::RemotePageTitle, "Retraso desde el móvil", "Delay from the phone"},
    {Msg::RemoteDelay, "Retraso", "Delay"},
    {Msg::RemoteHeard, "Se oye", "Heard"},
    {Msg::RemoteSet, "Fijar", "Set"},
    {Msg::RemoteStart, "Iniciar", "Start"},
    {Msg::RemoteStop, "Parar", "Stop"},
    {Msg::RemoteStateStopped, "Parado", "Stopped"},
    {Msg::RemoteStateDelaying, "Retrasando", "Delaying"},
    {Msg::RemoteStateRunning, "Sonando", "Running"},
    {Msg::RemoteStateRecording, "Solo grabando", "Recording only"},
    {Msg::RemoteConnectionLost, "Sin conexión con el programa; reintentando...",
     "No connection to the program; trying again..."},
    {Msg::RemoteRefused, "Esta dirección ya no vale: lea de nuevo el código del programa.",
     "This address is no longer valid: scan the program's code again."},
    {Msg::RemoteMenu, "Mando desde el móvil...", "Phone remote..."},
    {Msg::RemoteEnable, "Permitir el mando desde el móvil", "Allow the phone remote"},
    {Msg::RemoteHomeNetwork, "Accesible desde la red de casa", "Reachable from the home network"},
    {Msg::RemoteNewToken, "Nueva clave (cierra las páginas abiertas)",
     "New key (ends the open pages)"},
    {Msg::RemoteOpenOnPhone, "Abra esta dirección en el móvil:", "Open this address on the phone:"},
    {Msg::RemoteNotStarted, "No se pudo abrir el mando desde el móvil: %1",
     "The phone remote could not start: %1"},
    {Msg::RemoteOff, "El mando desde el móvil está apagado.", "The phone remote is off."},
    {Msg::RemotePresetPick, "Retardos guardados…", "Kept delays…"},
    {Msg::DelaySetTo, "Retraso puesto en %1 s", "Delay set to %1 s"},
    {Msg::TapRadioWaiting, "Radio marcada: pulse TV cuando lo vea en la tele",
     "Radio marked: press TV when you see it on the TV"},
    {Msg::TapTvWaiting, "TV marcada: pulse Radio cuando lo oiga en la radio",
     "TV marked: press Radio when you hear it on the radio"},
    {Msg::TapChanged, "Retraso cambiado en %1 s, ahora %2 s", "Delay changed by %1 s, now %2 s"},
    {Msg::TapChangedLimited,
     "Retraso cambiado en %1 s (medido %2 s, pero el retraso va de 0,1 a 160 s), ahora %3 s",
     "Delay changed by %1 s (measured %2 s, but the delay lies between 0.1 and 160 s), now %3 s"},
    {Msg::TapUndone, "Deshecho: el retraso vuelve a %1 s", "Undone: the delay is back to %1 s"},
    {Msg::NothingToUndo, "No hay ningún cambio que deshacer", "There is no change to undo"},
    {Msg::PresetMissing, "No hay ningún retraso guardado con el nombre \"%1\"",
     "There is no delay kept under the name \"%1\""},
    {Msg::PresetChosen, "Retraso \"%1\": %2 s", "Delay \"%1\": %2 s"},
    {Msg::TapRadioCaption, "&Radio ya", "&Radio now"},
    {Msg::TapRadioHint,
     "Lo oigo en la radio ahora (Ctrl+R): púlselo en el momento de una jugada, y TV cuando la vea",
     "I hear it on the radio now (Ctrl+R): press it at a moment of play, and TV when you see it"},
    {Msg::TapTvCaption, "&TV ya", "&TV now"},
    {Msg::TapTvHint,
     "Lo veo en la tele ahora (Ctrl+T): púlselo en el momento de una jugada, y Radio cuando la oiga",
     "I see it on the TV now (Ctrl+T): press it at a moment of play, and Radio when you hear it"},
    {Msg::TapUndoCaption, "Deshacer", "Undo"},
    {Msg::TapUndoHint, "Volver al retraso de antes del último cambio (Ctrl+Z)",
     "Back to the delay before the last change (Ctrl+Z)"},
    {Msg::DelaySetLabel, "Retraso puesto: %1 s", "Delay set: %1 s"},
    {Msg::PresetListHint,
     "Retrasos guardados: elija uno para usarlo, o escriba un nombre y pulse Guardar",
     "Kept delays: pick one to use it, or type a name and press Keep"},
    {Msg::PresetKeepCaption, "Guardar", "Keep"},
    {Msg::PresetKeepHint, "Guardar el retraso puesto con el nombre escrito (\"Cable\", \"Portátil\")",
     "Keep the delay set under the name typed (\"Cable\", \"Laptop stream\")"},
    {Msg::PresetForgetHint, "Olvidar el retraso guardado con este nombre",
     "Forget the delay kept under this name"},
    {Msg::PresetKept, "Retraso de %2 s guardado como \"%1\"", "Delay of %2 s kept as \"%1\""},
    {Msg::PresetNameRefused,
     "\"%1\" no sirve como nombre: de 1 a 40 caracteres, sin =, [ ni ]",
     "\"%1\" cannot be a name: 1 to 40 characters, without =, [ or ]"},
    {Msg::PresetForgotten, "Retraso \"%1\" olvidado", "Delay \"%1\" forgotten"},

    {Msg::SyncApplied, "La TV va %1 s por detrás de la radio (confianza %2): retraso puesto en %3 s",
     "The TV is %1 s behind the radio (confidence %2): delay set to %3 s"},
    {Msg::SyncNotClear,
     "No se ha oído la TV con claridad (confianza %1); el retraso no cambia",
     "Could not hear the TV clearly (confidence %1); the delay stays as it is"},
    {Msg::SyncTooShort, "Aún no hay bastante sonido de las dos entradas para compararlas",
     "Not enough sound from both inputs yet to compare them"},
    {Msg::SyncSilent,
     "Una de las dos entradas está en silencio: ¿es la entrada de la TV la buena y suena la TV? "
     "El retraso no cambia",
     "One of the two inputs is silent: is the TV input the right one, and is the TV on? The "
     "delay stays as it is"},
    {Msg::SyncClipped, "Una de las dos entradas satura: baje su volumen. El retraso no cambia",
     "One of the two inputs is clipping: turn its level down. The delay stays as it is"},
    {Msg::SyncBeyondRange,
     "La TV parece ir %1 s por detrás, fuera de 0,1 a 160 s; el retraso no cambia",
     "The TV seems %1 s behind, outside 0.1 to 160 s; the delay stays as it is"},
    {Msg::SyncBadInput, "El sonido de las entradas no se puede comparar; el retraso no cambia",
     "The inputs' sound cannot be compared; the delay stays as it is"},
    {Msg::SyncTvLost, "La entrada de la TV (%1) ha desaparecido; el retraso no cambia",
     "The TV input (%1) went away; the delay stays as it is"},
    {Msg::SyncRateRefused,
     "La entrada de la TV no graba a %1 Hz como la radio%2; no se escucha la TV",
     "The TV input cannot record at %1 Hz like the radio%2; the TV is not listened to"},
    {Msg::SyncNeedsChain,
     "Ponga en marcha el retraso primero: la TV se compara con la radio mientras se graba",
     "Start the delay first: the TV is compared with the radio as it is recorded"},
    {Msg::SyncListening, "Escuchando la TV en %1", "Listening to the TV on %1"},
    {Msg::SyncLast, "Última medida: %1 s, confianza %2, a las %3",
     "Last measurement: %1 s, confidence %2, at %3"},
    {Msg::SyncNothingYet, "Aún no hay ninguna medida", "No measurement yet"},
    {Msg::SyncNotListening, "No se está escuchando la TV: no hay nada que seguir",
     "Not listening to the TV: there is nothing to follow"},
    {Msg::SyncFollowOn, "seguimiento activado", "follow on"},
    {Msg::SyncFollowOff, "seguimiento desactivado", "follow off"},
    {Msg::SyncFollowMoved, "La TV ahora va %1 s por detrás: retraso puesto en %2 s",
     "The TV is now %1 s behind: delay set to %2 s"},
    {Msg::SyncButtonCaption, "Oír la TV…", "Hear the TV…"},
    {Msg::SyncButtonHint, "Encontrar el retraso escuchando la TV con una segunda entrada",
     "Find the delay by listening to the TV through a second input"},
    {Msg::SyncDialogTitle, "Escuchar la TV", "Listen to the TV"},
    {Msg::SyncDeviceLabel, "Entrada que oye la TV:", "Input that hears the TV:"},
    {Msg::SyncListenCaption, "&Escuchar", "&Listen"},
    {Msg::SyncMeasureCaption, "&Medir ahora", "&Measure now"},
    {Msg::SyncFollowCaption, "&Seguir durante el partido", "&Follow through the match"},
    {Msg::SyncFollowHint,
     "Medir de nuevo cada medio minuto y corregir el retraso si la TV se adelanta o se atrasa",
     "Measure again every half minute and correct the delay when the TV moves"},

    {Msg::StationsHint, "Emisoras de internet...", "Internet radio stations..."},
    {Msg::StationsTitle, "Emisoras de internet", "Internet radio stations"},
    {Msg::StationNameLabel, "&Nombre:", "&Name:"},
    {Msg::StationAddressLabel, "&Dirección:", "&Address:"},
    {Msg::StationAddressHint,
     "La dirección http:// o https:// de la emisora o de su lista (.m3u, .pls, .m3u8)",
     "The http:// or https:// address of the station or of its playlist (.m3u, .pls, .m3u8)"},
    {Msg::StationAddCaption, "&Añadir", "&Add"},
    {Msg::StationChangeCaption, "&Cambiar", "&Change"},
    {Msg::StationRemoveCaption, "&Quitar", "&Remove"},
    {Msg::StationCloseCaption, "Cerrar", "Close"},
    {Msg::StationNameMissing, "Escriba un nombre para la emisora, en una sola línea.",
     "Type a name for the station, on one line."},
    {Msg::StationNameTaken, "Ya hay una emisora llamada \"%1\".",
     "There already is a station called \"%1\"."},
    {Msg::StationAddressRefused,
     "\"%1\" no es una dirección que empiece por http:// o https://.",
     "\"%1\" is no address starting with http:// or https://."},
    {Msg::StationAddressTaken, "La emisora \"%1\" ya tiene esa dirección.",
     "The station \"%1\" already has that address."},
    {Msg::StationNotSaved,
     "No se pudo guardar en \"%1\"; las emisoras valen solo hasta cerrar el programa.",
     "Could not save to \"%1\"; the stations last only until the program closes."},
    {Msg::StationConnecting, "Conectando con la emisora...", "Connecting to the station..."},
    {Msg::StationPlaying, "En antena: %1", "On air: %1"},
    {Msg::StationPlayingUntitled, "Emisora conectada", "Station connected"},
    {Msg::StationReconnecting, "Se perdió la emisora; reconectando%1",
     "The station was lost; reconnecting%1"},
    {Msg::StationFailed, "No se pudo recibir la emisora%1", "The station could not be received%1"},
    {Msg::StationRetrying, "No se pudo recibir la emisora%1; probando de nuevo...",
     "The station could not be received%1; trying again..."},
    {Msg::RemoteStateReconnecting, "Reconectando la emisora", "Reconnecting the station"},
    {Msg::StationFaultNotFound,
     "el servidor de la emisora no conoce esa dirección (404)",
     "the station's address was not found on its server (404)"},
    {Msg::StationFaultAccessDenied,
     "el servidor de la emisora negó el acceso (401/403)",
     "the station's server refused access (401/403)"},
    {Msg::StationFaultRejected,
     "el servidor de la emisora rechazó la petición",
     "the station's server rejected the request"},
    {Msg::StationFaultServerError,
     "el servidor de la emisora tiene una avería (5xx)",
     "the station's server has a fault (5xx)"},
    {Msg::StationFaultRefused,
     "el servidor de la emisora rechazó la conexión",
     "the station's server refused the connection"},
    {Msg::StationFaultUnresolved,
     "no se encuentra el nombre del servidor de la emisora",
     "the station's host name cannot be found"},
    {Msg::StationFaultUnreachable,
     "no se puede llegar a la emisora",
     "the station cannot be reached"},
    {Msg::StationFaultTimeout,
     "el servidor de la emisora no respondió a tiempo",
     "the station's server did not answer in time"},
    {Msg::StationFaultSilent,
     "la emisora no envió nada durante más de 2 s",
     "the station sent nothing for more than 2 s"},
    {Msg::StationFaultEnded, "la emisora terminó su emisión", "the station ended its stream"},
    {Msg::StationFaultWebPage,
     "la dirección es una página web, no una emisión",
     "the address is a web page, not a stream"},
    {Msg::StationFaultNotAStream,
     "la dirección no envía sonido que este programa pueda reproducir (no es una emisión)",
     "the address sends no sound this program can play (not a stream)"},
    {Msg::StationFaultUndecodable,
     "la emisora envía datos que no se pueden descodificar",
     "the station sends data that cannot be decoded"},
    {Msg::StationFaultNotWebAddress,
     "la dirección lleva a algo que no es una dirección web",
     "the address leads to something other than a web address"},
    {Msg::StationFaultPlaylistLoop,
     "las listas de la emisora forman un círculo o son demasiado profundas",
     "the station's playlists lead in a circle or too deep"},
    {Msg::StationFaultPlaylistEmpty,
     "la lista de la emisora no contiene la dirección web de ninguna emisión",
     "the station's playlist holds no web address of a stream"},
    {Msg::ServerGone,
     "El servidor de sonido se cerró o se reinició; el retraso se detuvo. Vuelva a empezarlo "
     "cuando el servidor esté de nuevo",
     "The sound server stopped or restarted; the delay stopped. Start it again once the "
     "server is back"},
    {Msg::DeviceSuspended,
     "El servidor de sonido ha suspendido \"%1\"; no pasa sonido hasta que despierte",
     "The sound server suspended \"%1\"; no sound passes until it wakes"},
    {Msg::DeviceResumed, "\"%1\" funciona de nuevo; el retraso sigue igual",
     "\"%1\" is running again; the delay is as before"},
    {Msg::PlaybackMoved,
     "Cambió el dispositivo de salida predeterminado; el sonido sale ahora por \"%1\"",
     "The default playback device changed; the sound now plays on \"%1\""},
    {Msg::RecordingMoved,
     "Cambió el dispositivo de entrada predeterminado; ahora se graba de \"%1\"",
     "The default recording device changed; recording now comes from \"%1\""},
    {Msg::ServerWaiting,
     "Esperando al servidor de sonido (%1), que aún no responde; hasta %2 s…",
     "Waiting for the sound server (%1), which does not answer yet; up to %2 s…"},
    {Msg::ServerAnswered, "El servidor de sonido ya responde", "The sound server answers now"},
    {Msg::ServerNotAnswering,
     "El servidor de sonido (%1) no responde; se reintenta al elegir dispositivo o al empezar",
     "The sound server (%1) does not answer; it is tried again at each device list and start"},
    {Msg::ServerNotThere,
     "No hay servidor de sonido en %1; se usan las tarjetas de sonido directamente (ALSA)",
     "No sound server at %1; using the sound cards directly (ALSA)"},
    {Msg::StationLagWarning,
     "El audio de la emisora llega hasta %1 s tarde: ponga un retraso de al menos %2 s",
     "The station's audio arrives up to %1 s late: set a delay of at least %2 s"},
}};

constexpr bool inOrder() {
    for (size_t i = 0; i < kTable.size(); ++i)
        if (static_cast<size_t>(kTable[i].id) != i)
            return false;
    return true;
}
static_assert(inOrder(), "the table must follow the order of Msg");

constexpr UiWindow M = UiWindow::Main;
constexpr UiWindow I = UiWindow::Input;
constexpr UiProperty C = UiProperty::Caption;
constexpr UiProperty H = UiProperty::Hint;

// window, component, property, design, "es", "uk". The texts are the customer's, trailing
// blanks and odd spellings included.
constexpr UiText kUiTexts[] = {
    {M, "PdfManual", H, "Manual de instrucciones", "Manual de instrucciones",
     "Manual of instructions"},
    {M, "TrackOpaciti", H, "% Opacidad", "% Opacidad", "% Opacity"},
    {M, "SpeedMin", H, "Minimizar en barra de tareas", "Minimizar en barra de tareas",
     "Minimize on task bar"},
    {M, "LoadBtn", C, "&Load Skin", "&Cargar Skin", "&Load Skin"},
    {M, "LoadBtn", H, "Cambiar caratula (skin)", "Cambiar caratula (skin)", "Change skin"},
    {M, "LalbelRep", C, "Reproducir", "Reproducir", "Play"},
    {M, "Labelsave", C, "Grabar", "Grabar", "Save"},
    {M, "Labelret", C, "Retraso", "Retraso", "Delay"},
    {M, "Maximizar1", C, "M&aximizar", "M&aximizar", "M&aximize"},
    {M, "Minimizar1", C, "&Minimizar", "&Minimizar", "&Minimize"},
    {M, "LoadSkin1", C, "&Load Skin", "&Cargar Skin", "&Load Skin"},
    {M, "DefaultSkin1", C, "&Default Skin", "&Skin por defecto", "&Skin default"},
    {M, "Intensity1", C, "&Opaco 50%", "&Opaco 50%", "&Opacity 50%"},
    {M, "Idioma1", C, "&Idioma", "&Idioma", "&Language"},
    {M, "Sortir1", C, "&Salir", "&Salir", "&Exit"},
    {M, "Speedlang", C, "L&anguage", "Idioma", "Language"},
    {M, "Speedlang", H, "", "Cambiar idioma", "Change Language"},
    {M, "c_sb_waveOutStart", H, nullptr, "Reproducir playback", "Play playback"},
    {M, "c_sb_waveOutStop", H, nullptr, "Parar playback", "Stop playback"},
    {M, "c_comboBox_playbackDevice", H, "Seleccionar dispositivo de salida",
     "Seleccionar dispositivo de salida", "Select output device"},
    {M, "c_comboBox_recordingDevice", H, "Seleccionar dispositivo de entrada",
     "Seleccionar dispositivo de entrada", "Select input device"},
    {M, "c_sb_waveInStart", H, "Empezar a grabar", "Empezar a grabar", "Go to start/delay"},
    {M, "c_sb_waveInStop", H, "Parar grabación", "Parar grabación", "Stop delay"},
    {M, "c_checkBox_loop2Playback", C, "Grabar y reproducir &directamente",
     "Grabar y reproducir &directamente", "Save and play &directly"},
    {M, "c_checkBox_saveIn2File", C, "&Grabar en Fichero *.Wav", "&Grabar en Fichero *.wav",
     "&Save to file *.wav"},
    {M, "Currencys", H, "Ajuste a milesima. 0,1 - 160s", "Ajuste a milesima. 0,1 - 160s",
     "Adjuste delay 0,1 - 160s"},
    {M, "LabelSeg", C, "(Puedes agregar más segundos en la casilla de edición)",
     "(Puede agregar más segundos en la casilla de edición)",
     "(You can add more seconds in the edit box)"},

    {I, "Tc_form_main", C, "Seleccionar Entrada", "Seleccionar Entrada", "Input select"},
    {I, "Label5", C, "Entrada:", "Entrada", "Input"},
    {I, "c_label_out", C, "Playback Line", "Linea de playback", "Playback Line"},
    {I, "c_label_in", C, "Recording Source Line", "Linea de entrada", "Recording Source Line"},
    {I, "c_checkBox_micForce", C, "Force to Microphone", "Forzar a microfono",
     "Force to Microphone"},
    {I, "Label1", C, "Dispositivo entrada", "Dispositivo de entrada", "Input device"},
    {I, "c_checkBox_inMute", C, "Mu&ted", "&Enmudecer", "&Muted"},
    {I, "c_checkBox_outMute", C, "&Muted", "&Enmudecer", "&Muted"},
    {I, "Label3", C, "Left", "Izquierda", "Left"},
    {I, "Label4", C, "Right", "Derecha", "Right"},
    {I, "c_button_recStart", C, "Prue&ba", "Prue&ba", "Te&st"},
    {I, "c_button_recStop", C, "&Parar", "&Parar", "&Stop"},
    {I, "ImageMixer", H, "Control Mixer", "Abrir Mezclador (solo xp)", "Open mixer (only xp)"},
};

// Lines 1-7; line 0 is the site's address.
constexpr std::array<std::string_view, kBannerLines> kBannerEs{
    "",
    "",
    "Sorvalen Software ha sido concebido para",
    "solucionar el retardo de la voz al escuchar",
    "una transmisión deportiva por la radio y al",
    "mismo tiempo contemplarla por televisión.",
    "El retardo de la imagen causado por la TV Digital",
    "es de unos segundos en relación a la radio en directo.",
};
constexpr std::array<std::string_view, kBannerLines> kBannerUk{
    "",
    "¿Would you like to listen Your Favorite Radio ",
    "Broadcasters Call Games In Sync With Your TV?",
    "Now, with \"Sorvalen\"",
    "you can delay the radio audio to exactly match",
    "what you´re watching. (Soccer, Basquetball, F1... etc..)",
    "We have three products some for hardware",
    "and other one for software.",
};

}  // namespace

bool isEnglish(std::string_view languageCode) {
    return languageCode == kEnglish;
}

std::string msg(Msg id, std::string_view languageCode,
                std::initializer_list<std::string_view> args) {
    const auto index = static_cast<size_t>(id);
    if (index >= kTable.size())
        return {};
    const std::string_view text = isEnglish(languageCode) ? kTable[index].en : kTable[index].es;
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
            const auto arg = static_cast<size_t>(text[i + 1] - '1');
            if (arg < args.size()) {
                out += *(args.begin() + arg);
                ++i;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

bool isLanguageCode(std::string_view code) {
    return code == kSpanish || code == kEnglish;
}

std::span<const UiText> uiTexts() {
    return kUiTexts;
}

std::string bannerText(uint32_t line, std::string_view code) {
    if (line >= kBannerLines)
        return {};
    if (line == 0)
        return siteAddress();
    return std::string(code == kEnglish ? kBannerUk[line] : kBannerEs[line]);
}

}  // namespace una::app
